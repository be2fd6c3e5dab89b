// xwin: what a person does to a desktop program, on an X display ($DISPLAY),
// for the screenshot script and the window tests.
//
//   xwin grab FILE.png     writes what the screen shows to FILE.png
//   xwin close WINDOW_ID   asks the window to close, as a window manager's
//                          close button does (WM_DELETE_WINDOW); WINDOW_ID
//                          in decimal or 0x hex, e.g. from `xdotool search`.
//                          Prints when it sent the request, on the
//                          monotonic clock ("xwin: close sent at NS"), so
//                          a test can time the window's end from then and
//                          not from this program's own start.
//
// Under Xvfb without a window manager the screen is the window Tallyvox
// opened, at its top left.
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

int Usage() {
  std::fprintf(stderr, "usage: xwin grab FILE.png | xwin close WINDOW_ID\n");
  return 2;
}

int Grab(const char* file) {
  QScreen* screen = QGuiApplication::primaryScreen();
  const QPixmap shot = screen != nullptr ? screen->grabWindow(0) : QPixmap();
  if (shot.isNull() || !shot.save(file, "PNG")) {
    std::fprintf(stderr, "xwin: cannot grab the screen or write %s\n", file);
    return 1;
  }
  std::printf("xwin: %dx%d written to %s\n", shot.width(), shot.height(), file);
  return 0;
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(reply);
  return atom;
}

int Close(const char* id_text) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (x11 == nullptr) {
    std::fprintf(stderr, "xwin: not an X display\n");
    return 1;
  }
  xcb_connection_t* c = x11->connection();
  const auto window = static_cast<xcb_window_t>(std::strtoul(id_text, nullptr, 0));
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = Atom(c, "WM_PROTOCOLS");
  event.data.data32[0] = Atom(c, "WM_DELETE_WINDOW");
  event.data.data32[1] = XCB_CURRENT_TIME;
  timespec sent_at{};
  ::clock_gettime(CLOCK_MONOTONIC, &sent_at);
  xcb_void_cookie_t sent = xcb_send_event_checked(c, 0, window, XCB_EVENT_MASK_NO_EVENT,
                                                  reinterpret_cast<const char*>(&event));
  if (xcb_generic_error_t* error = xcb_request_check(c, sent)) {
    std::fprintf(stderr, "xwin: no window %s (X error %d)\n", id_text, error->error_code);
    std::free(error);
    return 1;
  }
  std::printf("xwin: close sent at %lld\n",
              static_cast<long long>(sent_at.tv_sec) * 1000000000LL + sent_at.tv_nsec);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Usage();
  const std::string command = argv[1];
  if (command != "grab" && command != "close") return Usage();
  QGuiApplication app(argc, argv);
  return command == "grab" ? Grab(argv[2]) : Close(argv[2]);
}
