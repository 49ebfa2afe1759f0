// The window program: one RS232_Form on the COM port map.
#include <unistd.h>

#include <QApplication>
#include <clocale>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/rs232_form.h"
#include "app/signal_close.h"
#include "common/conv.h"
#include "portmap/portmap.h"
#include "settings/cregistry.h"

namespace {

// The status when there is no display to show the window on.
constexpr int kNoDisplayStatus = 2;

// What Qt said while it created the application: told after it, or, when there is no display,
// the first of it in the one line about that.
std::vector<std::string> g_startup_messages;

void StartupMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
  g_startup_messages.push_back(message.section('\n', 0, 0).trimmed().toStdString());
  if (type != QtFatalMsg) return;
  std::string reason = g_startup_messages.front();
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    reason = "neither DISPLAY nor WAYLAND_DISPLAY is set";
  }
  std::fprintf(stderr,
               "serivane: no display to show the window on (%s); serivane-run tests a port "
               "without one\n",
               reason.c_str());
  std::fflush(stderr);
  ::_exit(kNoDisplayStatus);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace serivane;
  // The date-time text of the result lines is the user's locale's.
  std::setlocale(LC_ALL, "");

  // Without a display Qt ends the process when it creates the application; that happens here,
  // before the COM port map or the settings are touched, and is told in one line.
  const QtMessageHandler previous = qInstallMessageHandler(StartupMessage);
  QApplication application(argc, argv);
  qInstallMessageHandler(previous);
  for (const std::string& message : g_startup_messages)
    std::fprintf(stderr, "%s\n", message.c_str());

  // The port list and the control name devices through the map, so it is made or extended
  // before anything else looks at it.
  // The settings and the map are read from the registry as it stands after that, in one read.
  std::optional<std::string> map_failure;
  portmap::Discovery found;
  settings::RegistrySnapshot stored;
  try {
    found = portmap::DiscoverPorts();
    portmap::EnsurePortMap(found, &stored);
  } catch (const settings::RegistryError& error) {
    map_failure = ErrorNumberText(error.number()) + "\r" + error.description();
  }

  app::QtDialogs dialogs;
  if (map_failure) {
    dialogs.Message(*map_failure, "RS-232 Serivane", app::MessageIcon::kCritical, false);
    return 1;
  }

  app::FormServices services;
  services.dialogs = &dialogs;
  const portmap::PortMap map(stored);
  services.resolver = [map](std::int16_t n) { return map.Resolve(n); };
  services.describe_port = [map, &found](std::int16_t n) { return map.Describe(n, found); };
  services.port_mapped = [map](std::int16_t n) { return map.Entry(n).has_value(); };
  services.stored = stored;
  services.exit_program = [](int status) {
    // Ends at once: no handler of the window may run after the Exit command. Result lines and
    // registry values are already on disk (both are written through), so only the standard
    // streams need flushing.
    std::fflush(nullptr);
    ::_exit(status);
  };

  app::RS232_Form form(services);
  dialogs.SetParent(&form);
  // A logout or a service manager ends the program as the close button would: the settings are
  // saved and the port (with its lock) is let go.
  app::SignalCloser closer([&form](int signo) { form.EndBySignal(signo); });
  form.show();
  return QApplication::exec();
}
