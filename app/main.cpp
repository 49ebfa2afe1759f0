// The window program: one RS232_Form on the COM port map.
#include <unistd.h>
#include <QApplication>
#include <clocale>
#include <cstdio>
#include <optional>
#include <string>

#include "app/dialogs.h"
#include "app/rs232_form.h"
#include "common/conv.h"
#include "serial/portmap/portmap.h"
#include "settings/cregistry.h"

int main(int argc, char** argv) {
  using namespace serivane;
  // The date-time text of the result lines is the user's locale's.
  std::setlocale(LC_ALL, "");

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

  QApplication application(argc, argv);
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
  form.show();
  return QApplication::exec();
}
