// The modal boxes of the window: message boxes, input boxes and the result-file dialog. The
// window asks for them through this interface so that tests can answer them; the program uses
// QtDialogs, which shows Qt's standard dialogs.
//
// Texts use a single CR (13) to break lines, as the rest of the program writes them; a dialog
// turns each CR (or CR LF) into a line break for display only.
#pragma once

#include <string>

#include <QString>

class QWidget;

namespace serivane::app {

enum class MessageIcon { kInformation, kExclamation, kCritical };

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // A modal message box. With `ok_cancel` false it has an OK button only and returns true.
  // With it true, OK is the default button; returns true for OK, false for Cancel or the box
  // closed any other way (Escape, the close button).
  virtual bool Message(const std::string& text, const std::string& title, MessageIcon icon,
                       bool ok_cancel) = 0;

  // A modal input box with a prompt, a title and an edit field holding `default_text`. Returns
  // the field's text on OK and an empty text on Cancel.
  virtual std::string Input(const std::string& prompt, const std::string& title,
                            const std::string& default_text) = 0;
};

// The dialogs the program shows: QMessageBox, and QInputDialog, centred on `parent`.
class QtDialogs final : public Dialogs {
 public:
  explicit QtDialogs(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }

  bool Message(const std::string& text, const std::string& title, MessageIcon icon,
               bool ok_cancel) override;
  std::string Input(const std::string& prompt, const std::string& title,
                    const std::string& default_text) override;

 private:
  QWidget* parent_;
};

// The text a dialog shows for `text`: every CR LF and every lone CR becomes one line feed.
std::string DisplayLines(const std::string& text);

// The program's texts are bytes: UTF-8 for its own and the system's messages, anything at all for
// what a port received. Valid UTF-8 shows as such; any other text shows byte for byte (Latin-1),
// so that received codes 128 to 255 stay visible instead of turning into replacement marks.
QString ToQString(const std::string& text);

}  // namespace serivane::app
