#include "tests/app/form_fixture.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "serial/comm_control.h"
#include "settings/cregistry.h"
#include "settings/settings_store.h"

namespace serivane::app::testing {

bool FakeDialogs::Message(const std::string& text, const std::string& title, MessageIcon icon,
                          bool ok_cancel) {
  messages.push_back({text, title, icon, ok_cancel});
  if (while_message_open) while_message_open();
  if (!ok_cancel || message_answers.empty()) return true;
  const bool answer = message_answers.front();
  message_answers.pop_front();
  return answer;
}

std::string FakeDialogs::Input(const std::string& prompt, const std::string& title,
                               const std::string& default_text) {
  inputs.push_back({prompt, title, default_text});
  if (input_answers.empty()) return {};
  std::string answer = input_answers.front();
  input_answers.pop_front();
  return answer;
}

std::optional<std::string> FakeDialogs::ChooseFile(const FileDialogRequest& request) {
  file_requests.push_back(request);
  return file_answer;
}

namespace {

void SetEnv(const char* name, const std::string& value, bool had, bool restore) {
  if (restore && !had) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value.c_str(), 1);
  }
}

}  // namespace

void FormTest::SetUp() {
  ASSERT_TRUE(dir_.isValid());
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) {
    had_xdg_ = true;
    old_xdg_ = xdg;
  }
  if (const char* home = std::getenv("HOME")) {
    had_home_ = true;
    old_home_ = home;
  }
  const std::string root = dir_.path().toStdString();
  SetEnv("XDG_CONFIG_HOME", root + "/config", true, false);
  SetEnv("HOME", root, true, false);
}

void FormTest::TearDown() {
  form_.reset();
  SetEnv("XDG_CONFIG_HOME", old_xdg_, had_xdg_, true);
  SetEnv("HOME", old_home_, had_home_, true);
}

void FormTest::Create() {
  FormServices services;
  services.dialogs = &dialogs_;
  services.clock = &clock_;
  services.resolver = [this](std::int16_t n) -> std::string {
    const auto it = ports_.find(n);
    if (it == ports_.end()) {
      throw serial::CommError(serial::kErrInvalidPortNumber,
                              "Com" + std::to_string(n) + " names no device");
    }
    return it->second;
  };
  services.describe_port = [this](std::int16_t n) {
    const auto it = ports_.find(n);
    return it == ports_.end() ? "nothing at Com" + std::to_string(n) : "device " + it->second;
  };
  services.port_mapped = [this](std::int16_t n) { return ports_.count(n) != 0; };
  services.exit_program = [this](int status) { exits_.push_back(status); };
  form_ = std::make_unique<RS232_Form>(services);
}

void FormTest::Start() {
  Create();
  form_->show();
}

bool FormTest::WaitTick() {
  QSignalSpy spy(form_.get(), &RS232_Form::updateTicked);
  return spy.wait(3000);
}

bool FormTest::WaitRunOver() {
  return QTest::qWaitFor(
      [this] {
        return !form_->tester().TestRunning &&
               form_->ResultText().find("Test started ...") != std::string::npos &&
               form_->Run_Button->isEnabled();
      },
      20000);
}

void FormTest::Store(const std::string& name, const std::string& text) {
  settings::CRegistry registry;
  registry.OpenKey(settings::kHKeyLocalMachine, settings::kSettingsKey, true);
  registry.WriteValue(name, text);
  registry.CloseKey();
}

std::optional<std::string> FormTest::Stored(const std::string& name) {
  settings::CRegistry registry;
  registry.OpenKey(settings::kHKeyLocalMachine, settings::kSettingsKey, true);
  if (!registry.ValueExists(name)) return std::nullopt;
  return registry.ReadValue(name);
}

int FormTest::StoredValueCount() {
  settings::CRegistry registry;
  registry.OpenKey(settings::kHKeyLocalMachine, settings::kSettingsKey, true);
  return registry.NumOfValues();
}

void FormTest::StoreSelection(bool t1, bool t2, bool t3, bool t4, bool t5) {
  const bool selection[] = {t1, t2, t3, t4, t5};
  for (int n = 1; n <= 5; ++n) {
    Store("Test " + std::to_string(n), selection[n - 1] ? "True" : "False");
  }
}

std::string FormTest::ResultFilePath() const {
  return dir_.path().toStdString() + "/result.txt";
}

std::string FormTest::ReadResultFile() const {
  std::ifstream in(ResultFilePath(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace serivane::app::testing
