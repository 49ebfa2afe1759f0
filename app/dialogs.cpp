#include "app/dialogs.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QString>
#include <QStringDecoder>
#include <vector>

#include "common/paths.h"

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

std::string QtFilterList(const std::string& filter) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t bar = filter.find('|', start);
    parts.push_back(
        filter.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  std::string out;
  for (std::size_t i = 0; i < parts.size(); i += 2) {
    std::string entry = parts[i];
    const std::string pattern = i + 1 < parts.size() ? parts[i + 1] : std::string();
    if (entry.empty() && pattern.empty()) continue;
    if (!pattern.empty() && entry.find(pattern) == std::string::npos) {
      // Qt reads the patterns from the description's parentheses; ";" separates them there.
      std::string qt_pattern = pattern;
      for (char& c : qt_pattern) {
        if (c == ';') c = ' ';
      }
      entry += " (" + qt_pattern + ")";
    }
    if (!out.empty()) out += ";;";
    out += entry;
  }
  return out;
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

std::optional<std::string> QtDialogs::ChooseFile(const FileDialogRequest& request) {
  const std::optional<std::string> folder =
      ResolveDrivePath(request.initial_folder.empty() ? "." : request.initial_folder, HomeFolder());
  QString start = Q(folder.value_or(HomeFolder()));
  if (!request.file_name.empty()) start += QStringLiteral("/") + Q(request.file_name);

  QFileDialog::Options options;
  // Flag 2 asks before overwriting; the save dialog does that unless told not to.
  if ((request.flags & 2) == 0) options |= QFileDialog::DontConfirmOverwrite;
  QString selected_filter;
  const QString filters = Q(QtFilterList(request.filter));
  const qsizetype first_end = filters.indexOf(QStringLiteral(";;"));
  selected_filter = first_end < 0 ? filters : filters.left(first_end);
  const QString chosen = QFileDialog::getSaveFileName(parent_, Q(request.title), start, filters,
                                                      &selected_filter, options);
  if (chosen.isEmpty()) return std::nullopt;
  return chosen.toStdString();
}

}  // namespace serivane::app
