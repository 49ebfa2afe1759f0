// A window on the virtual plug with its dialogs answered by the test, its exit recorded instead
// of ending the process, and the registry and home folder in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <map>

#include "app/rs232_form.h"
#include "settings/settings_store.h"

namespace serivane::app::testing {

using Strings = std::vector<std::string>;

struct FakeDialogs final : Dialogs {
  bool Message(const std::string& text, const std::string& title, MessageIcon icon, bool) override {
    messages.push_back(title + "|" + std::to_string(static_cast<int>(icon)) + "|" + text);
    if (while_message_open) while_message_open();
    return true;
  }
  std::string Input(const std::string&, const std::string&, const std::string& shown) override {
    inputs.push_back(shown);
    return input_answer;
  }
  Strings messages;                          // "title|icon|text", icon 0 information
  std::function<void()> while_message_open;  // runs as the open box's own event loop would
  Strings inputs;                            // the text each input box showed at first
  std::string input_answer;                  // "": Cancel
};

// Stores each (name, text) pair as the registry tool would; Stored reads one back.
inline void Store(const std::vector<std::pair<std::string, std::string>>& values) {
  settings::CRegistry registry;
  registry.OpenKey(settings::kHKeyLocalMachine, settings::kSettingsKey, true);
  registry.WriteValues(values);
}
inline std::string Stored(const std::string& name) {
  settings::CRegistry registry;
  registry.OpenKey(settings::kHKeyLocalMachine, settings::kSettingsKey, true);
  return registry.ValueExists(name) ? registry.ReadValue(name) : "(none)";
}

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("XDG_CONFIG_HOME", (dir_.path() + "/config").toUtf8());
    qputenv("HOME", dir_.path().toUtf8());
  }
  // No window, no records and an empty registry, for the next case of a table.
  void Reset() {
    form_.reset();
    exits_.clear();
    dialogs_.messages.clear();
    ASSERT_TRUE(QDir(dir_.path() + "/config").removeRecursively());
  }
  // Creates the window (Form_Load runs) and shows it; the first tick comes from the event loop.
  void Start() {
    FormServices services;
    services.dialogs = &dialogs_;
    services.clock = &clock_;
    services.resolver = [this](std::int16_t n) {
      if (ports_.count(n) == 0)
        throw serial::CommError(serial::kErrInvalidPortNumber, "no such device");
      return ports_[n];
    };
    services.describe_port = [this](std::int16_t n) {
      return ports_.count(n) ? "device " + ports_[n] : "nothing at Com" + std::to_string(n);
    };
    services.port_mapped = [this](std::int16_t n) { return ports_.count(n) != 0; };
    services.exit_program = [this](int status) { exits_.push_back(status); };
    form_ = std::make_unique<RS232_Form>(services);
    form_->show();
  }
  bool WaitTick() { return QSignalSpy(form_.get(), &RS232_Form::updateTicked).wait(3000); }
  // Until a run has started and ended.
  bool WaitRunOver() {
    return QTest::qWaitFor(
        [this] {
          return !form_->tester().Running() && Find<QPushButton>("Run_Button")->isEnabled() &&
                 form_->results().ResultText().find("Test started ...") != std::string::npos;
        },
        20000);
  }
  bool Activate() {
    QApplication::setActiveWindow(form_.get());
    return QTest::qWaitForWindowActive(form_.get());
  }
  // A control of the window by its name.
  template <typename T>
  T* Find(const QString& name) const {
    T* found = form_->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name.toStdString();
    return found;
  }
  // The names of every marked menu item, sorted.
  Strings Marked() const {
    Strings names;
    for (QAction* item : form_->findChildren<QAction*>()) {
      if (item->isChecked()) names.push_back(item->objectName().toStdString());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  QTemporaryDir dir_;
  ManualClock clock_;
  FakeDialogs dialogs_;
  std::vector<int> exits_;
  std::map<int, std::string> ports_{{1, "loopback"}};  // port number -> what it names
  std::unique_ptr<RS232_Form> form_;
};

}  // namespace serivane::app::testing
