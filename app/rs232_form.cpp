// The window's construction: its parts created and wired to one another, and taken apart again.
#include "app/rs232_form.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <utility>

namespace serivane::app {

namespace {

// A clock that runs `before_pause` before each pause of `inner`.
class PausingClock final : public Clock {
 public:
  PausingClock(Clock& inner, std::function<void()> before_pause)
      : inner_(inner), before_pause_(std::move(before_pause)) {}
  std::int64_t NowMicros() const override { return inner_.NowMicros(); }
  void Sleep(std::int32_t ms) override {
    if (ms > 0) before_pause_();
    inner_.Sleep(ms);
  }

 private:
  Clock& inner_;
  std::function<void()> before_pause_;
};

}  // namespace

RS232_Form::RS232_Form(FormServices services, QWidget* parent)
    : QMainWindow(parent), services_(std::move(services)) {
  CreateControls();
  CreateMenus();

  Test_MSComm = std::make_unique<serial::CommControl>(services_.resolver, *services_.clock);
  results_ = std::make_unique<ResultBox>(Result_Text);
  tester_clock_ = std::make_unique<PausingClock>(*services_.clock, [this] { results_->Flush(); });
  tester_ =
      std::make_unique<engine::Tester>(engine::FrontEnd(*this, *this, results_.get(), this, this),
                                       *Test_MSComm, *tester_clock_, settings_);
  Test_MSComm->OnCommEvent = [this] { tester_->HandleCommEvent(); };
  pump_ = std::make_unique<PortPump>(*Test_MSComm, [this](const serial::CommError& error) {
    tester_->Log().AppendLine(error.description());
  });
  ConnectSignals();

  // Both timers run from the window's creation; no tick can come before the load handler lets
  // events run.
  Update_Timer->start();
  tmrOnComm->start();
  Form_Load();
}

void RS232_Form::ConnectSignals() {
  // Before the loop sleeps (also inside message boxes and menus) the results box is brought up
  // to date and the port says what to wait for.
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
      results_->Flush();
      pump_->Rearm();
    });
  }
  connect(Update_Timer, &QTimer::timeout, this, &RS232_Form::Update_Timer_Timer);
  connect(tmrOnComm, &QTimer::timeout, this, &RS232_Form::tmrOnComm_Timer);

  connect(Run_Button, &QPushButton::clicked, this, &RS232_Form::Run_Button_Click);
  for (int index = 1; index <= 5; ++index) {
    connect(Test_Check[static_cast<std::size_t>(index)], &QCheckBox::toggled, this,
            [this, index](bool checked) { Test_Check_Click(index, checked); });
  }
  connect(RTS_Check, &QCheckBox::toggled, this, &RS232_Form::RTS_Check_Click);
  connect(DTR_Check, &QCheckBox::toggled, this, &RS232_Form::DTR_Check_Click);
  connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
    // Only a move to another control of this window validates the list: opening its drop-down
    // moves the focus into a popup, and switching to another window moves it nowhere.
    if (old == Com_Combo && now != nullptr && now != Com_Combo && now->window() == this) {
      Com_Combo_Validate();
    }
  });

  connect(FuncStart_Menu, &QAction::toggled, this, &RS232_Form::FuncStart_Menu_Click);
  connect(FuncClose_Menu, &QAction::toggled, this, &RS232_Form::FuncClose_Menu_Click);
  connect(FuncClear_Menu, &QAction::triggered, this, &RS232_Form::FuncClear_Menu_Click);
  connect(FuncAbout_Menu, &QAction::triggered, this, &RS232_Form::FuncAbout_Menu_Click);
  connect(FuncExit_Menu, &QAction::triggered, this, &RS232_Form::FuncExit_Menu_Click);
  connect(SetupDelay_Menu, &QAction::triggered, this, &RS232_Form::SetupDelay_Menu_Click);
  connect(SetupDuration_Menu, &QAction::triggered, this, &RS232_Form::SetupDuration_Menu_Click);
  // Each line-parameter item carries its index; its group reports the choice.
  using IndexHandler = void (RS232_Form::*)(std::int16_t);
  const std::pair<QAction*, IndexHandler> line_groups[] = {
      {baud_menu[1], &RS232_Form::baud_menu_Click},
      {Bits_Menu[7], &RS232_Form::Bits_Menu_Click},
      {Stop_Menu[1], &RS232_Form::Stop_Menu_Click},
      {Parity_Menu[1], &RS232_Form::Parity_Menu_Click}};
  for (const auto& [member, handler] : line_groups) {
    connect(member->actionGroup(), &QActionGroup::triggered, this,
            [this, handler](QAction* chosen) {
              (this->*handler)(static_cast<std::int16_t>(chosen->data().toInt()));
            });
  }
  qApp->installEventFilter(this);
}

RS232_Form::~RS232_Form() {
  // The widgets are destroyed after this body, and their focus changes must not reach the
  // handlers of a window that is already half gone.
  disconnect(qApp, nullptr, this, nullptr);
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
    disconnect(dispatcher, nullptr, this, nullptr);
  }
  qApp->removeEventFilter(this);
  if (busy_cursor_) QApplication::restoreOverrideCursor();
  if (Test_MSComm) Test_MSComm->OnCommEvent = nullptr;
  tester_.reset();
}

}  // namespace serivane::app
