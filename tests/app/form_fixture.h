// A window on the virtual plug with its dialogs answered by the test, its exit recorded instead
// of ending the process, and the registry and home folder in a fresh temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/rs232_form.h"
#include "common/clock.h"

namespace serivane::app::testing {

class FakeDialogs final : public Dialogs {
 public:
  struct MessageCall {
    std::string text, title;
    MessageIcon icon;
    bool ok_cancel;
  };
  struct InputCall {
    std::string prompt, title, default_text;
  };

  bool Message(const std::string& text, const std::string& title, MessageIcon icon,
               bool ok_cancel) override;
  std::string Input(const std::string& prompt, const std::string& title,
                    const std::string& default_text) override;
  std::optional<std::string> ChooseFile(const FileDialogRequest& request) override;

  // Runs while a message box is "open", as the box's own event loop would.
  std::function<void()> while_message_open;
  std::vector<MessageCall> messages;
  std::deque<bool> message_answers;  // empty: OK
  std::vector<InputCall> inputs;
  std::deque<std::string> input_answers;  // empty: Cancel
  std::vector<FileDialogRequest> file_requests;
  std::optional<std::string> file_answer;
};

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the window (Form_Load runs) without showing it.
  void Create();
  // Creates and shows the window.
  void Start();
  // Waits for the next status tick; false when none came.
  bool WaitTick();
  // Waits until no run is in progress and at least one has started.
  bool WaitRunOver();

  // A value of the settings key, written before the window starts or read after it ends.
  void Store(const std::string& name, const std::string& text);
  std::optional<std::string> Stored(const std::string& name);
  int StoredValueCount();
  // Stores the test selection (tests 1 to 5) before the start.
  void StoreSelection(bool t1, bool t2, bool t3, bool t4, bool t5);

  // The path of the result file that the window's runs write, stored as "Result FileName".
  std::string ResultFilePath() const;
  std::string ReadResultFile() const;

  QTemporaryDir dir_;
  std::string old_xdg_, old_home_;
  bool had_xdg_ = false, had_home_ = false;
  ManualClock clock_;
  FakeDialogs dialogs_;
  std::vector<int> exits_;
  // Port number -> what it names; a number not here names no device.
  std::map<int, std::string> ports_{{1, "loopback"}};
  std::unique_ptr<RS232_Form> form_;
};

}  // namespace serivane::app::testing
