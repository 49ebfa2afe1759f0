// The state of a key at this moment, read from the window system rather than from key events.
#pragma once

#include <optional>

namespace serivane::app {

// Whether the Delete key (main or keypad) is held down now. std::nullopt where the window system
// does not tell (Wayland, the offscreen platform): the caller then learns of the key from its
// key events only. Needs the QGuiApplication to exist.
std::optional<bool> DeleteKeyHeld();

}  // namespace serivane::app
