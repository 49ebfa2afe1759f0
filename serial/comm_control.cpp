// The serial port control: buffers, events and the rules that do not depend on the device.
#include "serial/comm_control.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <map>

#include "serial/device.h"
#include "serial/plug_faults.h"
#include "serial/termios_device.h"
#include "serial/virtual_plug.h"

namespace serivane::serial {

namespace {

// The control's own buffers. Beyond the send buffer bytes are refused with kErTxFull; beyond the
// receive buffer they are dropped with kErRxOver, so that a flood cannot exhaust memory.
constexpr std::size_t kSendBufferBytes = 64 * 1024;
constexpr std::size_t kReceiveBufferBytes = 64 * 1024;

}  // namespace

struct CommControl::State final : DeviceSink {
  State(PortResolver r, Clock& c, SystemPaths p)
      : resolver(std::move(r)), clock(c), paths(std::move(p)) {}

  PortResolver resolver;
  Clock& clock;
  SystemPaths paths;

  std::int16_t port = 1;
  std::string label;  // empty: "Com-port <port>"
  LineConfig config;
  std::int32_t flow = 0;
  bool dtr = false;
  bool rts = false;
  bool break_on = false;
  std::int16_t threshold = 1;
  bool threshold_armed = true;
  std::int16_t comm_event = 0;

  // One plug per port number: a plug that has vanished takes only its own port with it.
  std::map<std::int16_t, std::unique_ptr<VirtualPlug>> plugs;
  std::unique_ptr<Device> terminal;
  // What the last successful open learnt about its terminal, for the next open of it, with the
  // terminal's lock file, which stays held while the port is closed for a reopen.
  std::shared_ptr<DeviceFacts> facts;
  Device* device = nullptr;  // the plug or the terminal while open
  std::string device_name;
  std::string lost_reason;

  std::string received;
  std::string unsent;
  std::deque<std::int16_t> events;
  ModemInputs inputs;
  // When Service must next look at the modem lines and counters; -1: only when something else
  // wakes it (the device says when its lines need watching).
  std::int64_t next_poll_us = -1;
  bool in_service = false;
  // A flood nobody reads is one overflow until the program reads again, however many reads of
  // the device and polls of the driver's counters find more of it lost.
  bool rx_over_raised = false;
  std::int64_t last_arrival_us = -1;
  std::int64_t gaps_us[2] = {-1, -1};

  void Received(std::string_view bytes) override {
    NoteArrival();
    const std::size_t room = kReceiveBufferBytes - received.size();
    received.append(bytes.substr(0, room));
    CheckThreshold();
    if (bytes.size() > room) RaiseRxOver();
  }

  void LineError(std::int16_t code) override {
    if (code == kErRxOver) {
      RaiseRxOver();
    } else {
      events.push_back(code);
    }
  }

  // Runs that one look at the device hands over at the same instant (split by line errors) are
  // one arrival.
  void NoteArrival() {
    const std::int64_t now = clock.NowMicros();
    if (now == last_arrival_us) return;
    if (last_arrival_us >= 0) {
      gaps_us[0] = gaps_us[1];
      gaps_us[1] = now - last_arrival_us;
    }
    last_arrival_us = now;
  }

  void RaiseRxOver() {
    if (!rx_over_raised) events.push_back(kErRxOver);
    rx_over_raised = true;
  }

  void CheckThreshold() {
    if (threshold > 0 && threshold_armed &&
        received.size() >= static_cast<std::size_t>(threshold)) {
      threshold_armed = false;
      events.push_back(kEvReceive);
    }
  }

  void Flush() {
    if (device == nullptr || unsent.empty()) return;
    const std::size_t taken = device->Write(unsent);
    unsent.erase(0, taken);
  }

  // Closes the device. `keep_lock` keeps what was learnt of a terminal and its lock file for a
  // reopen of the same device; otherwise both go too.
  void ReleaseDevice(bool keep_lock) {
    if (device != nullptr) device->Close();
    device = nullptr;
    break_on = false;
    terminal.reset();
    if (!keep_lock) facts.reset();
    device_name.clear();
    received.clear();
    unsent.clear();
    rx_over_raised = false;
  }

  void OutputsChanged();

  void PollInputs() {
    const ModemInputs now = device->Inputs();
    if (now.cts != inputs.cts) events.push_back(kEvCts);
    if (now.dsr != inputs.dsr) events.push_back(kEvDsr);
    if (now.dcd != inputs.dcd) events.push_back(kEvCd);
    if (now.ring && !inputs.ring) events.push_back(kEvRing);
    inputs = now;
  }

  std::string Label() const { return label.empty() ? "Com-port " + std::to_string(port) : label; }

  [[noreturn]] void ThrowNotOpen() const {
    throw CommError(kErrPortNotOpen,
                    Label() + " is not open: the operation is valid only when the port is open");
  }
};

CommControl::CommControl(PortResolver resolver, Clock& clock, SystemPaths paths)
    : s_(std::make_unique<State>(std::move(resolver), clock, std::move(paths))) {}

CommControl::~CommControl() {
  s_->ReleaseDevice(false);
}

void CommControl::PortNumber(std::int16_t number) {
  if (number < 1) {
    throw CommError(kErrInvalidPortNumber,
                    "Invalid port number " + std::to_string(number) + ": ports start at 1");
  }
  if (s_->device != nullptr) {
    throw CommError(kErrPortAlreadyOpen, s_->Label() + " is open (" + s_->device_name +
                                             "); close it before choosing another port");
  }
  // A lock kept for a reopen is for the port chosen until now.
  if (number != s_->port) s_->facts.reset();
  s_->port = number;
}

std::int16_t CommControl::PortNumber() const {
  return s_->port;
}

void CommControl::PortLabel(std::string label) {
  s_->label = std::move(label);
}

void CommControl::LineSettings(std::string_view text) {
  const LineConfig next = LineConfig::Parse(text);
  if (s_->device != nullptr) {
    try {
      s_->device->Configure(next, s_->flow);
    } catch (const CommError&) {
      try {
        s_->device->Configure(s_->config, s_->flow);
      } catch (const CommError&) {
        // The device took neither; the first refusal is the one worth reporting.
      }
      throw;
    }
  }
  s_->config = next;
}

std::string CommControl::LineSettings() const {
  return s_->config.Text();
}

void CommControl::FlowControl(std::int32_t mode) {
  if (mode < 0 || mode > 3) {
    throw CommError(kErrInvalidPropertyValue, "Invalid flow control " + std::to_string(mode) +
                                                  ": 0 none, 1 XON/XOFF, 2 RTS/CTS, 3 both");
  }
  if (s_->device != nullptr) {
    try {
      s_->device->Configure(s_->config, mode);
    } catch (const CommError&) {
      try {
        s_->device->Configure(s_->config, s_->flow);
      } catch (const CommError&) {
      }
      throw;
    }
  }
  s_->flow = mode;
}

std::int32_t CommControl::FlowControl() const {
  return s_->flow;
}

void CommControl::OpenState(bool open) {
  State& s = *s_;
  if (!open) {
    s.ReleaseDevice(true);
    return;
  }
  if (s.device != nullptr) return;

  std::string target;
  try {
    target = s.resolver(s.port);
  } catch (...) {
    s.facts.reset();
    throw;
  }
  if (IsLoopbackTarget(target)) {
    s.facts.reset();
    const PlugFaults faults = PlugFaults::Parse(PlugSwitches(target));
    std::unique_ptr<VirtualPlug>& plug = s.plugs[s.port];
    if (!plug) plug = std::make_unique<VirtualPlug>(s.clock);
    plug->Open(faults, s.config, s.flow, s.dtr, s.rts);
    s.device = plug.get();
  } else {
    s.terminal = OpenTermiosDevice(target, s.paths, s.config, s.flow, s.dtr, s.rts, s.facts);
    s.device = s.terminal.get();
  }
  s.device_name = target;
  s.received.clear();
  s.unsent.clear();
  s.threshold_armed = true;
  // Lines as found at open are the starting point, not a change. A ring already present is
  // reported, as the plug's ring=on promises and as a modem ringing at open would be.
  s.inputs = s.device->Inputs();
  s.inputs.ring = false;
  s.next_poll_us = s.clock.NowMicros();
}

void CommControl::State::OutputsChanged() {
  if (device == nullptr) return;
  device->SetOutputs(dtr, rts);
  // A plug's inputs follow the outputs at once; the change is raised at the next Service.
  next_poll_us = clock.NowMicros();
}

void CommControl::Release() {
  s_->ReleaseDevice(false);
}

bool CommControl::OpenState() const {
  return s_->device != nullptr;
}

void CommControl::DtrOn(bool on) {
  s_->dtr = on;
  s_->OutputsChanged();
}

bool CommControl::DtrOn() const {
  return s_->dtr;
}

void CommControl::RtsOn(bool on) {
  s_->rts = on;
  s_->OutputsChanged();
}

bool CommControl::RtsOn() const {
  return s_->rts;
}

void CommControl::RequireOpen() const {
  if (s_->device == nullptr) s_->ThrowNotOpen();
}

bool CommControl::CtsState() {
  return s_->device != nullptr && s_->device->Inputs().cts;
}
bool CommControl::DsrState() {
  return s_->device != nullptr && s_->device->Inputs().dsr;
}
bool CommControl::DcdState() {
  return s_->device != nullptr && s_->device->Inputs().dcd;
}
bool CommControl::RingState() {
  return s_->device != nullptr && s_->device->Inputs().ring;
}

void CommControl::Break(bool on) {
  State& s = *s_;
  if (s.device == nullptr) s.ThrowNotOpen();
  // What waits in the control's own buffer goes out before the break, as queued output does.
  if (on) s.Flush();
  s.device->SetBreak(on);
  s.break_on = on;
}

bool CommControl::Break() const {
  return s_->break_on;
}

void CommControl::TransmitText(std::string_view text) {
  State& s = *s_;
  if (s.device == nullptr) s.ThrowNotOpen();
  s.Flush();
  // Bytes go to the device directly when nothing waits before them, so the control's buffer
  // holds only what the device cannot take now.
  if (s.unsent.empty()) text.remove_prefix(s.device->Write(text));
  const std::size_t room = kSendBufferBytes - s.unsent.size();
  s.unsent.append(text.substr(0, room));
  if (text.size() > room) s.events.push_back(kErTxFull);
}

std::string CommControl::ReceivedText() {
  State& s = *s_;
  if (s.device == nullptr) s.ThrowNotOpen();
  std::string text;
  text.swap(s.received);
  s.threshold_armed = true;
  s.rx_over_raised = false;
  return text;
}

std::int32_t CommControl::InBufferCount() const {
  return static_cast<std::int32_t>(s_->received.size());
}

CommControl::Arrivals CommControl::LatestArrivals() const {
  return {s_->last_arrival_us, std::max(s_->gaps_us[0], s_->gaps_us[1])};
}

bool CommControl::ForeignInputPossible() const {
  return s_->device == nullptr || s_->terminal != nullptr;
}

void CommControl::ReceiveThreshold(std::int16_t count) {
  if (count < 0) {
    throw CommError(kErrInvalidPropertyValue,
                    "Invalid receive threshold " + std::to_string(count) + ": 0 or more");
  }
  s_->threshold = count;
  s_->threshold_armed = true;
}

std::int16_t CommControl::ReceiveThreshold() const {
  return s_->threshold;
}

std::int16_t CommControl::CommEvent() const {
  return s_->comm_event;
}

int CommControl::WatchFd() const {
  return s_->device != nullptr ? s_->device->Fd() : -1;
}

int CommControl::NextServiceMs() const {
  return DeadlineMs(false);
}

int CommControl::NextEventMs() const {
  return DeadlineMs(true);
}

int CommControl::DeadlineMs(bool events_only) const {
  const State& s = *s_;
  if (!s.events.empty()) return 0;
  if (s.device == nullptr) return -1;
  std::int64_t due = s.next_poll_us;
  std::int64_t device_due = s.device->NextDueMicros();
  if (events_only) {
    const bool awaited = s.threshold > 0 && s.threshold_armed;
    const std::int64_t wanted =
        awaited ? std::int64_t{s.threshold} - static_cast<std::int64_t>(s.received.size())
                : std::numeric_limits<std::int64_t>::max();
    device_due = s.device->DueMicrosFor(std::max<std::int64_t>(wanted, 1));
  }
  if (device_due >= 0) due = due < 0 ? device_due : std::min(due, device_due);
  if (due < 0) return -1;
  const std::int64_t wait = due - s.clock.NowMicros();
  return wait <= 0 ? 0 : static_cast<int>((wait + 999) / 1000);
}

void CommControl::Service() {
  State& s = *s_;
  if (s.in_service) return;
  s.in_service = true;
  struct Leave {
    State& s;
    ~Leave() { s.in_service = false; }
  } leave{s};

  if (s.device != nullptr) {
    bool alive = s.device->Poll(s);
    if (alive) {
      s.Flush();
      alive = !s.device->Gone();
    }
    if (alive) {
      s.PollInputs();
      alive = !s.device->Gone();
    }
    if (!alive) {
      s.lost_reason = s.device->GoneReason();
      // The port is closed once here; Poll is not called again on the dead device, so the event
      // loop neither spins on a hung-up descriptor nor reports the loss twice.
      s.ReleaseDevice(false);
      s.events.push_back(kErDeviceGone);
    }
    const std::int64_t interval = s.device != nullptr ? s.device->LinePollMicros() : -1;
    s.next_poll_us = interval < 0 ? -1 : s.clock.NowMicros() + interval;
  }
  s.CheckThreshold();

  // The handler may queue further events (a TransmitText beyond the buffer); they are raised in
  // this same call, in order.
  while (!s.events.empty()) {
    s.comm_event = s.events.front();
    s.events.pop_front();
    if (OnCommEvent) OnCommEvent();
  }
}

std::optional<LineCounters> CommControl::Counters() const {
  if (s_->device == nullptr) return std::nullopt;
  return s_->device->Counters();
}

std::string CommControl::LostReason() const {
  return s_->lost_reason;
}

}  // namespace serivane::serial
