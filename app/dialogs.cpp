#include "app/dialogs.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QString>
#include <QStringDecoder>

namespace serivane::app {

std::string DisplayLines(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

QString ToQString(const std::string& text) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = utf8.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  if (!utf8.hasError()) return decoded;
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

namespace {

QString Q(const std::string& text) {
  return ToQString(text);
}

}  // namespace

bool QtDialogs::Message(const std::string& text, const std::string& title, MessageIcon icon,
                        bool ok_cancel) {
  QMessageBox::Icon qt_icon = QMessageBox::Information;
  if (icon == MessageIcon::kExclamation) qt_icon = QMessageBox::Warning;
  if (icon == MessageIcon::kCritical) qt_icon = QMessageBox::Critical;
  QMessageBox box(qt_icon, Q(title), Q(DisplayLines(text)),
                  ok_cancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, parent_);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(ok_cancel ? QMessageBox::Cancel : QMessageBox::Ok);
  return box.exec() == QMessageBox::Ok || !ok_cancel;
}

std::string QtDialogs::Input(const std::string& prompt, const std::string& title,
                             const std::string& default_text) {
  bool ok = false;
  const QString answer = QInputDialog::getText(parent_, Q(title), Q(DisplayLines(prompt)),
                                               QLineEdit::Normal, Q(default_text), &ok);
  return ok ? answer.toStdString() : std::string();
}

}  // namespace serivane::app
