#include "engine/line_format.h"

namespace serivane::engine {

serial::LineConfig LineConfigFor(const settings::Settings& settings) {
  serial::LineConfig config;
  config.baud = settings.BaudRate;
  config.parity = settings.Parity == 2 ? 'O' : settings.Parity == 3 ? 'E' : 'N';
  config.data_bits = settings.DataBits;
  config.stop_bits = settings.StopBits;
  return config;
}

}  // namespace serivane::engine
