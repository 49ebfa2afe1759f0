#include "app/rs232_form.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "app/key_state.h"
#include "common/conv.h"
#include "engine/line_format.h"
#include "serial/plug_faults.h"
#include "settings/settings_store.h"

namespace serivane::app {

namespace {

constexpr std::int16_t kDeleteKey = 46;
constexpr int kComEntries = 32;
// No screen is this tall; a stored height beyond it is a broken value, not a wish.
constexpr float kMaxHeightTwips = 100000.0f;

// The baud rates of baud_menu items 1 to 10 (index 0 unused).
constexpr std::array<std::int32_t, 11> kBaudRates{0,    300,   600,   1200,  2400,  4800,
                                                  9600, 19200, 38400, 57600, 115200};

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

QString Q(const std::string& text) {
  return ToQString(text);
}

// "RS-232 Serivane1.4.0" CR CR "(Hold down <Delete> ...)".
std::string AboutText() {
  return "RS-232 Serivane" + DecimalText(SERIVANE_VERSION_MAJOR) + "." +
         DecimalText(SERIVANE_VERSION_MINOR) + "." + DecimalText(SERIVANE_VERSION_PATCH) +
         "\r\r(Hold down <Delete> during startup to reset Com-port to Com1)";
}

}  // namespace

RS232_Form::RS232_Form(FormServices services, QWidget* parent)
    : QMainWindow(parent), services_(std::move(services)) {
  CreateControls();
  CreateMenus();

  Test_MSComm = std::make_unique<serial::CommControl>(services_.resolver, *services_.clock);
  tester_clock_ = std::make_unique<PausingClock>(*services_.clock, [this] { FlushResultBox(); });
  tester_ = std::make_unique<engine::Tester>(engine::FrontEnd(*this, *this, this, this, this),
                                             *Test_MSComm, *tester_clock_, settings_);
  Test_MSComm->OnCommEvent = [this] { tester_->HandleCommEvent(); };

  port_service_timer_ = new QTimer(this);
  port_service_timer_->setSingleShot(true);
  // The plug's deliveries are due to the millisecond; a coarse timer may be 5 % late.
  port_service_timer_->setTimerType(Qt::PreciseTimer);
  event_wait_timer_ = new QTimer(this);
  event_wait_timer_->setSingleShot(true);
  event_wait_timer_->setTimerType(Qt::PreciseTimer);
  ConnectSignals();

  // Both timers run from the window's creation; no tick can come before the load handler lets
  // events run.
  Update_Timer->start();
  tmrOnComm->start();
  Form_Load();
}

void RS232_Form::ConnectSignals() {
  connect(port_service_timer_, &QTimer::timeout, this, &RS232_Form::ServicePort);
  // Before the loop sleeps (also inside message boxes and menus) the control says what to wait
  // for: its descriptor may have changed since the last look, and its next deadline has.
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
      FlushResultBox();
      RearmPortService();
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

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown

void RS232_Form::Form_Load() {
  try {
    if (!SettingsRegistry) SettingsRegistry = std::make_unique<settings::CRegistry>();
    const settings::RegistrySnapshot stored =
        services_.stored ? *services_.stored
                         : settings::RegistrySnapshot::Read(settings::kHKeyLocalMachine);
    settings::LoadSettings(*SettingsRegistry, stored, settings_);
  } catch (const settings::RegistryError& error) {
    RegistryFailure(error);
    return;
  }
  ApplyLoadedSettings();

  // The status timer opens the port with its number only. The control's initial line settings
  // are the stored ones, so that the port runs at what the test frame's caption shows from the
  // first tick on, not at some other rate until the operator first changes a setting.
  try {
    Test_MSComm->LineSettings(engine::LineConfigFor(settings_).Text());
  } catch (const serial::CommError&) {
    // Settings the control refuses stay out; the first port setup reports them.
  }

  for (int n = 1; n <= kComEntries; ++n) {
    Com_Combo->addItem(QStringLiteral("Com%1").arg(n));
    if (services_.describe_port) {
      Com_Combo->setItemData(n - 1, Q(services_.describe_port(static_cast<std::int16_t>(n))),
                             Qt::ToolTipRole);
    }
  }
  Com_Combo->setCurrentIndex(settings_.ComPort - 1);

  RTS_Check->setChecked(true);
  DTR_Check->setChecked(true);

  for (std::size_t i = 1; i <= 10; ++i) {
    if (kBaudRates[i] == settings_.BaudRate) baud_menu[i]->setChecked(true);
  }
  Bits_Menu[static_cast<std::size_t>(settings_.DataBits)]->setChecked(true);
  Stop_Menu[static_cast<std::size_t>(settings_.StopBits)]->setChecked(true);
  Parity_Menu[static_cast<std::size_t>(settings_.Parity)]->setChecked(true);

  SetResultText("Wait ...\r\n");
  // A stored value that was not used is said once, under the first tick's text (which replaces
  // "Wait ..."), so that it stays in view; and on standard error, for an unattended start.
  if (std::vector<std::string> notices = settings::LoadNotices(settings_); !notices.empty()) {
    for (const std::string& notice : notices)
      std::fprintf(stderr, "serivane: %s\n", notice.c_str());
    connect(
        this, &RS232_Form::updateTicked, this,
        [this, notices] {
          for (const std::string& notice : notices) {
            tester_->Log().AppendLine(notice);
            notes_.push_back(notice);
          }
        },
        Qt::SingleShotConnection);
  }
  QCoreApplication::processEvents();
}

void RS232_Form::ApplyLoadedSettings() {
  FuncClose_Menu->setChecked(settings_.CloseWhenFinish);
  FuncStart_Menu->setChecked(settings_.RunAtStartup);
  Test_Check[3]->setText(Q(DecimalText(settings_.SingleBytes)) + Test_Check[3]->text());
  // Changing a box runs its click handler, which sets the selection from the box again.
  for (std::size_t n = 1; n <= 5; ++n) Test_Check[n]->setChecked(settings_.TestSelected[n]);
  if (settings_.WindowHeight && std::isfinite(*settings_.WindowHeight) &&
      *settings_.WindowHeight > 0.0f && *settings_.WindowHeight < kMaxHeightTwips) {
    const int height_px = TwipsToPixels(static_cast<double>(*settings_.WindowHeight));
    pending_outer_height_px_ = height_px;
    SetOuterSize(frameGeometry().width(), height_px);
  }
}

void RS232_Form::Form_KeyDown(std::int16_t key_code) {
  if (key_code == kDeleteKey) use_default_port_ = true;
}

void RS232_Form::Form_KeyUp(std::int16_t key_code) {
  if (key_code == kDeleteKey) use_default_port_ = false;
}

bool RS232_Form::eventFilter(QObject* watched, QEvent* event) {
  // A frame's access key moves the focus to the control after the frame in tab order, not to
  // the frame's child that last had the focus.
  if (event->type() == QEvent::Shortcut && (watched == Manual_Frame || watched == Test_Frame)) {
    (watched == Manual_Frame ? RTS_Check : Test_Check[1])->setFocus(Qt::ShortcutFocusReason);
    return true;
  }
  if (!ended_ && (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)) {
    auto* widget = qobject_cast<QWidget*>(watched);
    auto* key = static_cast<QKeyEvent*>(event);
    if (widget != nullptr && widget->window() == this && key->key() == Qt::Key_Delete) {
      if (event->type() == QEvent::KeyPress) {
        Form_KeyDown(kDeleteKey);
      } else if (!key->isAutoRepeat()) {
        // A held key repeats as release-press pairs; only the real release lets go of it.
        Form_KeyUp(kDeleteKey);
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void RS232_Form::closeEvent(QCloseEvent* event) {
  if (ended_) {
    event->accept();
    return;
  }
  // A session manager closes the windows while it saves the session (logout, shutdown); every
  // other close is the operator's own.
  const std::int16_t unload_mode = qApp->isSavingSession() ? 1 : 0;
  Form_QueryUnload(unload_mode);
  // After the Exit command the window never closes in the ordinary way.
  if (ended_) {
    event->ignore();
  } else {
    event->accept();
  }
}

void RS232_Form::Form_QueryUnload(std::int16_t unload_mode) {
  if (unload_mode == 0) FuncExit_Menu_Click();
}

void RS232_Form::FuncExit_Menu_Click() {
  if (ended_) return;
  // From here on nothing of the window starts again: no tick reopens the port and no run
  // starts, not even while a box about a failed save waits for its click.
  StopHandlers();
  try {
    Test_MSComm->Release();
  } catch (const serial::CommError&) {
    // The port is going away with the program; a close that fails changes nothing here.
  }
  if (!SaveSettingsNow()) return;  // the failure has ended the program
  EndProgram(exit_status_);
}

void RS232_Form::EndBySignal(int signo) {
  if (ended_) return;
  exit_status_ = 128 + signo;
  // Nobody may be there to click a box away (a logout, a service manager, a script's limit).
  unattended_exit_ = true;
  FuncExit_Menu_Click();
}

bool RS232_Form::SaveSettingsNow() {
  settings_.WindowHeight = static_cast<float>(OuterHeightPixels() * 15);
  try {
    if (!SettingsRegistry) SettingsRegistry = std::make_unique<settings::CRegistry>();
    settings::SaveSettings(*SettingsRegistry, settings_);
  } catch (const settings::RegistryError& error) {
    RegistryFailure(error);
    return false;
  }
  return true;
}

void RS232_Form::RegistryFailure(const settings::RegistryError& error) {
  StopHandlers();
  const std::string number = ErrorNumberText(error.number());
  std::string text = number + "\r" + error.description();
  std::string line = "serivane: " + number + ": " + error.description();
  if (!error.reason().empty()) {
    text += "\r" + error.reason();
    line += " (" + error.reason() + ")";
  }
  // Standard error gets it too, for whoever started the program unattended.
  std::fprintf(stderr, "%s\n", line.c_str());
  // A program that ends itself after a run has nobody to click the box away.
  if (!unattended_exit_) {
    services_.dialogs->Message(text, "RS-232 Serivane", MessageIcon::kCritical, false);
  }
  EndProgram(exit_status_ != 0 ? exit_status_ : 1);
}

void RS232_Form::StopHandlers() {
  ended_ = true;
  Update_Timer->stop();
  tmrOnComm->stop();
  port_service_timer_->stop();
  if (port_notifier_) port_notifier_->setEnabled(false);
}

void RS232_Form::EndProgram(int status) {
  StopHandlers();
  if (services_.exit_program) services_.exit_program(status);
}

// ---------------------------------------------------------------------------------------------
// Function menu

void RS232_Form::FuncStart_Menu_Click(bool checked) {
  settings_.RunAtStartup = checked;
}

void RS232_Form::FuncClose_Menu_Click(bool checked) {
  settings_.CloseWhenFinish = checked;
}

void RS232_Form::FuncClear_Menu_Click() {
  SetResultText("");
}

void RS232_Form::FuncAbout_Menu_Click() {
  services_.dialogs->Message(AboutText(), "About RS-232 Serivane", MessageIcon::kInformation,
                             false);
}

// ---------------------------------------------------------------------------------------------
// Setup menu

void RS232_Form::ApplyLineChoice(QAction* chosen) {
  chosen->setChecked(true);
  SetUpPortNoted();
}

bool RS232_Form::SetUpPortNoted() {
  if (tester_->Running()) return false;
  std::vector<std::string> lines;
  setup_lines_ = &lines;
  const std::optional<std::string> failure = tester_->SetUpPort();
  setup_lines_ = nullptr;
  if (failure) return false;
  if (!lines.empty()) setup_line_ = lines.back();
  return Test_MSComm->OpenState();
}

void RS232_Form::baud_menu_Click(std::int16_t index) {
  if (index < 1 || index > 10) return;
  settings_.BaudRate = kBaudRates[static_cast<std::size_t>(index)];
  ApplyLineChoice(baud_menu[static_cast<std::size_t>(index)]);
}

void RS232_Form::Bits_Menu_Click(std::int16_t index) {
  if (index != 7 && index != 8) return;
  settings_.DataBits = index;
  ApplyLineChoice(Bits_Menu[static_cast<std::size_t>(index)]);
}

void RS232_Form::Stop_Menu_Click(std::int16_t index) {
  if (index != 1 && index != 2) return;
  settings_.StopBits = index;
  ApplyLineChoice(Stop_Menu[static_cast<std::size_t>(index)]);
}

void RS232_Form::Parity_Menu_Click(std::int16_t index) {
  if (index < 1 || index > 3) return;
  settings_.Parity = index;
  ApplyLineChoice(Parity_Menu[static_cast<std::size_t>(index)]);
}

void RS232_Form::AskNumber(const char* prompt, const char* title, double threshold,
                           std::int16_t& field) {
  const std::string answer = services_.dialogs->Input(prompt, title, DecimalText(field));
  if (answer.empty()) return;
  // Rounded first, then checked: the limit holds for the value that is stored, so 100.4 is not
  // stored as a duration of 100 that the check refuses when typed.
  // A number beyond the 16-bit field is bad input like any other: ignored without a message.
  const std::optional<std::int16_t> value = ToInt16(Val(answer));
  if (value && *value > threshold) field = *value;
}

void RS232_Form::SetupDelay_Menu_Click() {
  AskNumber("Enter delay in milliseconds from RTS/DTR line set to CTS/DSR line is checked:",
            "Handshake test delay", 0.0, settings_.HandshakeDelay);
}

void RS232_Form::SetupDuration_Menu_Click() {
  AskNumber("Enter maximum allow duration milliseconds for close/open Com port:",
            "Max. close/open duration", 100.0, settings_.MaxDuration);
}

// ---------------------------------------------------------------------------------------------
// Test frame

void RS232_Form::Run_Button_Click() {
  if (ended_ || tester_->Running()) return;
  // The run tests the port the list shows. A choice not yet set up (the focus is still in the
  // list, say after Alt+C and an arrow key, and Alt+R does not move it) is set up first, as
  // leaving the list would; a port that cannot be set up is not tested.
  const bool choice_pending =
      Com_Combo->hasFocus() || Com_Combo->currentIndex() + 1 != settings_.ComPort;
  if (choice_pending && !ApplyPortChoice()) return;
  run_ = {};
  tester_->Run();
}

void RS232_Form::Test_Check_Click(int index, bool checked) {
  // Read by the run when the test's turn comes.
  settings_.TestSelected[static_cast<std::size_t>(index)] = checked;
}

}  // namespace serivane::app
