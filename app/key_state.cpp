// Only X11 answers a question about the keyboard's state; the keymap query asks the server
// directly, so a key held down before the window existed is seen too. The xcb calls stay in this
// file.
#include "app/key_state.h"

#include <QGuiApplication>

#ifdef SERIVANE_HAVE_XCB
#include <xcb/xcb.h>

#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#include <memory>
#endif

namespace serivane::app {

std::optional<bool> DeleteKeyHeld() {
#ifdef SERIVANE_HAVE_XCB
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
  if (connection == nullptr) return std::nullopt;

  const xcb_setup_t* setup = xcb_get_setup(connection);
  const xcb_keycode_t first = setup->min_keycode;
  const auto count = static_cast<std::uint8_t>(setup->max_keycode - first + 1);
  const xcb_get_keyboard_mapping_cookie_t mapping_cookie =
      xcb_get_keyboard_mapping(connection, first, count);
  const xcb_query_keymap_cookie_t keymap_cookie = xcb_query_keymap(connection);
  const std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> mapping(
      xcb_get_keyboard_mapping_reply(connection, mapping_cookie, nullptr), &std::free);
  const std::unique_ptr<xcb_query_keymap_reply_t, decltype(&std::free)> keymap(
      xcb_query_keymap_reply(connection, keymap_cookie, nullptr), &std::free);
  if (!mapping || !keymap) return std::nullopt;

  // XK_Delete and XK_KP_Delete, the key syms the Delete key may carry.
  constexpr xcb_keysym_t kDelete = 0xffff;
  constexpr xcb_keysym_t kKeypadDelete = 0xff9f;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
  const int per_code = mapping->keysyms_per_keycode;
  const int total = xcb_get_keyboard_mapping_keysyms_length(mapping.get());
  for (int i = 0; i < total; ++i) {
    if (syms[i] != kDelete && syms[i] != kKeypadDelete) continue;
    const int code = first + i / per_code;
    if (keymap->keys[code / 8] & (1u << (code % 8))) return true;
  }
  return false;
#else
  return std::nullopt;
#endif
}

}  // namespace serivane::app
