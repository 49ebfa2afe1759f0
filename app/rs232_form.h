// RS232_Form: the program's one window. It lays out every control and menu, loads the settings
// at start-up, opens the port from its status timer, drives the manual line controls and the
// Setup and Function menus, and saves the settings at exit. The test procedures themselves live
// in the engine's Tester, which the window owns and serves as its front end.
//
// The class is spread over files by job: rs232_form.cpp builds and wires it, _layout the controls,
// menus and size rule, _startup the loading and the opening of the port at start, _handlers the
// operator's menus, keys and buttons, _status the status tick and the line switches, _pump the
// engine's event loop, _run what the engine sets and reads during a run, and _exit the end of the
// program with its save. The results box (ResultBox) and the port in the event loop (PortPump)
// are classes of their own.
//
// Everything runs on the thread of the Qt event loop. Handlers keep the names of the window's
// events (Form_Load, Update_Timer_Timer, baud_menu_Click, ...); the controls are the window's
// own, and each one's objectName is its name ("Run_Button", "Test_Check_3", "baud_menu_7"), so
// that tests and scripts find it with findChild.
#pragma once

#include <QMainWindow>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/dialogs.h"
#include "app/port_pump.h"
#include "app/result_box.h"
#include "common/clock.h"
#include "engine/front_end.h"
#include "engine/tester.h"
#include "serial/comm_control.h"
#include "settings/cregistry.h"
#include "settings/settings.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace serivane::app {

// What the window depends on beyond Qt, so that tests can put fakes in place.
struct FormServices {
  // Never null; must outlive the window.
  Dialogs* dialogs = nullptr;
  // What a port number names (the COM port map in the program).
  serial::PortResolver resolver = serial::DefaultResolve;
  // The tooltip of port list entry n (1 = "Com1").
  std::function<std::string(std::int16_t)> describe_port;
  // Whether port number n names a device of its own (an entry of the COM port map); used to
  // tell the operator which ports exist when none will open.
  std::function<bool(std::int16_t)> port_mapped;
  // The registry as the program read it at start, the COM port map's answers above from the same
  // read; without one, Form_Load reads the registry itself.
  std::optional<settings::RegistrySnapshot> stored;
  // Times the tests, the virtual plug and the status timer's pause. Must outlive the window.
  Clock* clock = &SystemClock();
  // Ends the program with the given exit status. The program's own flushes the standard streams
  // and leaves the process at once; a test's records the call and returns, and the window then
  // behaves as ended (no handler of it runs again).
  std::function<void(int status)> exit_program;
};

// Twips to pixels at 15 twips a pixel, rounded to the nearest pixel.
int TwipsToPixels(double twips);

// The baud rates of the Baudrate menu's items 1 to 10 (index 0 unused).
inline constexpr std::array<std::int32_t, 11> kBaudRates{0,    300,   600,   1200,  2400,  4800,
                                                         9600, 19200, 38400, 57600, 115200};

class RS232_Form final : public QMainWindow,
                         public engine::WindowControls,
                         public engine::OperatorAnswers,
                         public engine::EventPump,
                         public engine::RunObserver {
  Q_OBJECT

 public:
  // Creates every control, starts both timers and runs Form_Load. A settings failure during
  // loading ends the program through services.exit_program before the constructor returns.
  explicit RS232_Form(FormServices services, QWidget* parent = nullptr);
  ~RS232_Form() override;

  // Start-up and shutdown.
  void Form_Load();
  // Key 46 is Delete, the only key the window looks at.
  void Form_KeyDown(std::int16_t key_code);
  void Form_KeyUp(std::int16_t key_code);
  // Unload mode 0: the operator closed the window; any other mode: the system closes it.
  void Form_QueryUnload(std::int16_t unload_mode);
  void Form_Resize();
  void FuncExit_Menu_Click();
  // SIGTERM or SIGHUP: ends the program as the close button does, with status 128 + `signo`.
  void EndBySignal(int signo);

  // Function menu. The two switches mark themselves; their handlers run on every change of the
  // mark and keep the settings in step with it.
  void FuncStart_Menu_Click(bool checked);
  void FuncClose_Menu_Click(bool checked);
  void FuncClear_Menu_Click();
  void FuncAbout_Menu_Click();

  // Setup menu. Each of the four line-parameter submenus marks one item at most: choosing one
  // takes the mark off the others. An index outside its submenu is ignored.
  void baud_menu_Click(std::int16_t index);
  void Bits_Menu_Click(std::int16_t index);
  void Stop_Menu_Click(std::int16_t index);
  void Parity_Menu_Click(std::int16_t index);
  void SetupDelay_Menu_Click();
  void SetupDuration_Menu_Click();

  // Test frame: the Run button and the test boxes 1 to 5.
  void Run_Button_Click();
  void Test_Check_Click(int index, bool checked);

  // Manual line controls and the status display.
  void RTS_Check_Click();
  void DTR_Check_Click();
  void Com_Combo_Validate();
  void Update_Timer_Timer();
  void tmrOnComm_Timer();

  // The window's state, for tests and for the engine.
  settings::Settings& settings() { return settings_; }
  engine::Tester& tester() { return *tester_; }
  serial::CommControl& port() { return *Test_MSComm; }

  ResultBox& results() { return *results_; }

  // The engine's front end (the results box is the engine's results view).
  void SetRunControlsEnabled(bool enabled) override;
  bool RepeatChecked() const override;
  void FocusRepeatBox() override;
  void FocusRunButton() override;
  void RestoreIfMinimized() override;
  bool AskFailureContinue(const std::string& text, const std::string& title) override;
  void ShowCriticalMessage(const std::string& text, const std::string& title) override;
  void DoEvents() override;
  bool WaitForEvents(std::int32_t max_ms) override;
  void SetBusyCursor(bool busy) override;
  bool RtsChecked() const override;
  bool DtrChecked() const override;
  void SelectComEntry(int index) override;
  void SetTestFrameCaption(const std::string& caption) override;
  void SetCommTimerEnabled(bool enabled) override;
  bool CloseWhenFinished() const override;
  void Exit() override;
  void TestStarting(std::int16_t number) override;
  void LineAdded(std::string_view line, engine::LineOrigin origin) override;
  void PassFinished(const engine::PassOutcome& pass) override;

 signals:
  // Emitted at the end of every status tick, after the display boxes and the port are updated
  // (before a start-up run begins).
  void updateTicked();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void CreateMenus();
  void ConnectSignals();
  void ApplyLoadedSettings();
  // The 32 entries of the port list, the stored port chosen.
  void FillPortList();
  // Marks the line-parameter items of the stored settings (a rate the menu lacks marks none).
  void MarkLineSettings();
  // The stored values not used: on standard error now, and under the first tick's text.
  void ShowLoadNotices();
  // False when the saving failed; the program has then ended through RegistryFailure.
  bool SaveSettingsNow();
  // Tells the error (a box, and standard error) and ends the program with status 1.
  void RegistryFailure(const settings::RegistryError& error);
  // Stops every timer and the port's notifier and marks the window ended: no handler of it
  // starts anything again.
  void StopHandlers();
  void EndProgram(int status);

  // The first status tick, run as soon as the window is shown where the Delete key's state can
  // be read then; elsewhere the timer's own first tick stays the first.
  void OpenPortAtShow();
  // The status tick's opening of a closed port, with the recovery to port 1.
  void OpenPortFromTimer();
  void ShowPortReady();
  // A stored port that will not open while an unattended run is due: says why and ends the
  // program with status 3 without testing anything.
  void EndWithoutRun(const std::string& reason);
  // Shows why the stored port was left under the ready text and keeps it for the next run.
  void KeepFallbackReason(const std::string& reason);
  // Draws the whole window now, once the window system lets it be drawn (at most about a
  // second's wait for that), so that what it shows is seen during a pause that follows.
  void PaintBeforePause();
  // The engine's port setup; the line it writes is kept for the next run's remarks. True when
  // the port was set up and is open.
  bool SetUpPortNoted();
  // Sets up the port chosen in the list, as leaving the list does. True when it is open.
  bool ApplyPortChoice();
  // The exit status of the end of the last run: 0 every test passed, 1 a test failed or the run
  // was cut short, 3 its result file could not be written.
  int RunStatus() const;
  void ShowNoPortOpens(const serial::CommError& error);
  // The lines that say why `failed_port` would not open, for the recovery to Com1.
  std::string FallbackReason(std::int16_t failed_port, const serial::CommError& error) const;
  // One input box of the Setup menu; stores the rounded answer in `field` when it is above
  // `threshold`.
  void AskNumber(const char* prompt, const char* title, double threshold, std::int16_t& field);
  // Marks a line-parameter item (its group unmarks the others) and sets the port up again.
  void ApplyLineChoice(QAction* chosen);

  // Lets the serial control do what is due, unless the window has ended.
  void ServicePort();

  // Outer (frame) height in pixels of the window in its normal state.
  int OuterHeightPixels() const;
  void SetOuterSize(int width_px, int height_px);
  void ApplyPendingHeight();

  FormServices services_;
  settings::Settings settings_;
  std::unique_ptr<settings::CRegistry> SettingsRegistry;
  std::unique_ptr<serial::CommControl> Test_MSComm;
  // After the port, so that it goes before the port does.
  std::unique_ptr<PortPump> pump_;
  std::unique_ptr<ResultBox> results_;
  // The engine's clock: the window's, with the results box brought up to date before a pause.
  std::unique_ptr<Clock> tester_clock_;
  std::unique_ptr<engine::Tester> tester_;

  bool use_default_port_ = false;
  // Set as soon as the exit (or a fatal settings failure) begins, before any box is shown.
  bool ended_ = false;
  // The exit came from the end of a run with "Close when finished": nobody may be there.
  bool unattended_exit_ = false;
  // The status the Exit command ends the program with (a save failure makes it at least 1).
  int exit_status_ = 0;
  // The status tick is opening the port (also during its recovery pause); ticks that come
  // meanwhile return at once.
  bool opening_port_ = false;
  // What the last run (from its start) has met.
  struct RunRecord {
    bool in_pass = false;  // a pass has started a test and not written its summary
    bool failed = false;   // a pass ended with a failed test
    bool file_failed = false;
    bool notes_written = false;
  } run_;
  // Lines that are shown outside a run and would be lost when the next run empties the box:
  // notices about the stored settings, why the stored port was left, and the line of the last
  // port setup. The first test of the next run writes them again as remarks.
  std::vector<std::string> notes_;
  std::string setup_line_;
  // The run's result file could not be created or written; `message` is the line the box got.
  void ResultFileFailed(std::string_view message);
  // Collects the lines of a port setup the window asked for.
  std::vector<std::string>* setup_lines_ = nullptr;
  // Port 1 could not be opened at the last tick; later ticks retry without the recovery pause.
  bool default_port_failing_ = false;
  bool busy_cursor_ = false;
  int normal_outer_height_px_ = 0;
  // A stored outer height applied before the window manager framed the window; applied again
  // once the frame is known, so that the height does not grow by the title bar at every start.
  int pending_outer_height_px_ = 0;

  bool shown_once_ = false;

  // Controls, named as the rest of the program names them. Owned by the window.
  QGroupBox* Manual_Frame = nullptr;
  QCheckBox* RTS_Check = nullptr;
  QCheckBox* DTR_Check = nullptr;
  QCheckBox* CTS_Check = nullptr;
  QCheckBox* DSR_Check = nullptr;
  QCheckBox* DCD_Check = nullptr;
  QLabel* Com_Label = nullptr;
  QComboBox* Com_Combo = nullptr;
  QGroupBox* Test_Frame = nullptr;
  std::array<QCheckBox*, 6> Test_Check{};  // indexes 1 to 5
  QCheckBox* Loop_Check = nullptr;
  QPushButton* Run_Button = nullptr;
  QPlainTextEdit* Result_Text = nullptr;
  QTimer* Update_Timer = nullptr;
  QTimer* tmrOnComm = nullptr;

  QMenu* Func_Menu = nullptr;
  QAction* FuncStart_Menu = nullptr;
  QAction* FuncClose_Menu = nullptr;
  QAction* FuncClear_Menu = nullptr;
  QAction* FuncAbout_Menu = nullptr;
  QAction* FuncExit_Menu = nullptr;
  QMenu* Setup_Menu = nullptr;
  QAction* SetupFile_Menu = nullptr;
  QAction* SetupDelay_Menu = nullptr;
  QAction* SetupDuration_Menu = nullptr;
  QMenu* SetupBaud_Menu = nullptr;
  QMenu* SetupBits_Menu = nullptr;
  QMenu* SetupStop_Menu = nullptr;
  QMenu* SetupParity_Menu = nullptr;
  std::array<QAction*, 11> baud_menu{};   // indexes 1 to 10
  std::array<QAction*, 9> Bits_Menu{};    // indexes 7 and 8
  std::array<QAction*, 3> Stop_Menu{};    // indexes 1 and 2
  std::array<QAction*, 4> Parity_Menu{};  // indexes 1 to 3
};

}  // namespace serivane::app
