#include "x11_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace tallowmarch::test {

namespace {

constexpr const char* kXvfb = "/usr/bin/Xvfb";

template <typename T>
void FreeReply(T* reply) {
  std::free(reply);
}

}  // namespace

bool XvfbServer::Installed() {
  return access(kXvfb, X_OK) == 0;
}

bool XvfbServer::Start(const std::string& screen, const std::vector<std::string>& extraArguments) {
  Stop();
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  // -displayfd: the server picks a free display number and writes it here once it is ready.
  const std::string fd = std::to_string(pipeFds[1]);
  std::vector<std::string> arguments = {kXvfb,  "-displayfd", fd,    "-screen", "0",
                                        screen, "-nolisten",  "tcp", "-noreset"};
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);

  // fork + exec rather than posix_spawn: the server must die with the test process, even when
  // the test crashes, or it would hold the test's output open for ever.
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int fd = open("/dev/null", O_WRONLY);
    dup2(fd, 1);
    dup2(fd, 2);
    fcntl(pipeFds[1], F_SETFD, 0);  // the write end survives the exec
    execv(kXvfb, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid < 0) {
    close(pipeFds[0]);
    return false;
  }
  pid_ = pid;

  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{pipeFds[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buffer[32];
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;  // the server died
    number.append(buffer, static_cast<std::size_t>(n));
    if (number.find('\n') != std::string::npos) break;
  }
  close(pipeFds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
  if (number.empty()) {
    Stop();
    return false;
  }
  display_ = ":" + number;
  return true;
}

void XvfbServer::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  display_.clear();
}

TestClient::TestClient(const std::string& display) {
  int screenNumber = 0;
  connection_ = xcb_connect(display.c_str(), &screenNumber);
  if (xcb_connection_has_error(connection_)) return;
  screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  gc_ = xcb_generate_id(connection_);
  xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
}

TestClient::~TestClient() {
  if (connection_ != nullptr) xcb_disconnect(connection_);
}

bool TestClient::Ok() const {
  return connection_ != nullptr && xcb_connection_has_error(connection_) == 0 && screen_ != nullptr;
}

xcb_window_t TestClient::Root() const {
  return screen_->root;
}

void TestClient::Sync() {
  FreeReply(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

xcb_window_t TestClient::CreateWindow(std::int16_t x, std::int16_t y, std::uint16_t width,
                                      std::uint16_t height, std::uint32_t rgb) {
  const xcb_window_t window = xcb_generate_id(connection_);
  const std::uint32_t values[] = {rgb, 1};  // background pixel, override-redirect
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root, x, y, width, height,
                    0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(connection_, window);
  Fill(window, rgb);
  return window;
}

xcb_window_t TestClient::CreateUnmappedWindow(std::uint16_t width, std::uint16_t height) {
  const xcb_window_t window = xcb_generate_id(connection_);
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root, 0, 0, width, height,
                    0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, 0, nullptr);
  Sync();
  return window;
}

void TestClient::Fill(xcb_window_t window, std::uint32_t rgb) {
  // Clipped to the window; the server adds the window position in 16 bits, so keep it modest.
  FillRect(window, 0, 0, 8192, 8192, rgb);
}

void TestClient::FillRect(xcb_window_t window, std::int16_t x, std::int16_t y, std::uint16_t width,
                          std::uint16_t height, std::uint32_t rgb) {
  xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &rgb);
  const xcb_rectangle_t rect{x, y, width, height};
  xcb_poly_fill_rectangle(connection_, window, gc_, 1, &rect);
  Sync();
}

void TestClient::Move(xcb_window_t window, std::int16_t x, std::int16_t y) {
  const std::uint32_t values[] = {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)};
  xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
  Sync();
}

void TestClient::Resize(xcb_window_t window, std::uint16_t width, std::uint16_t height,
                        std::uint32_t rgb) {
  const std::uint32_t values[] = {width, height};
  xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                       values);
  Fill(window, rgb);
}

void TestClient::Destroy(xcb_window_t window) {
  xcb_destroy_window(connection_, window);
  Sync();
}

xcb_atom_t TestClient::Atom(const std::string& name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
      nullptr);
  const xcb_atom_t atom = reply != nullptr ? reply->atom : 0;
  FreeReply(reply);
  return atom;
}

bool TestClient::SetMonitor(const std::string& name, std::int16_t x, std::int16_t y,
                            std::uint16_t width, std::uint16_t height, bool primary) {
  // Sent by hand: libxcb 1.15's xcb_randr_set_monitor reads past the monitor it is given.
  struct {
    std::uint8_t major = 0, minor = 0;
    std::uint16_t length = 0;
    xcb_window_t window = 0;
    xcb_randr_monitor_info_t info{};
    xcb_randr_output_t output = 0;
  } request;
  request.window = screen_->root;
  request.info.name = Atom(name);
  request.info.primary = primary ? 1 : 0;
  request.info.x = x;
  request.info.y = y;
  request.info.width = width;
  request.info.height = height;
  request.info.width_in_millimeters = width / 4u;
  request.info.height_in_millimeters = height / 4u;
  if (primary) {
    // The primary one takes the screen's output, so that the server's automatic monitor for
    // that output leaves the list.
    xcb_randr_get_screen_resources_current_reply_t* resources =
        xcb_randr_get_screen_resources_current_reply(
            connection_, xcb_randr_get_screen_resources_current(connection_, screen_->root),
            nullptr);
    if (resources != nullptr &&
        xcb_randr_get_screen_resources_current_outputs_length(resources) > 0) {
      request.output = xcb_randr_get_screen_resources_current_outputs(resources)[0];
      request.info.nOutput = 1;
    }
    FreeReply(resources);
  }
  iovec parts[4] = {};
  parts[2].iov_base = &request;
  parts[2].iov_len = request.info.nOutput == 1 ? sizeof request : sizeof request - 4;
  xcb_protocol_request_t protocol = {2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
  xcb_void_cookie_t cookie = {
      xcb_send_request(connection_, XCB_REQUEST_CHECKED, parts + 2, &protocol)};
  xcb_generic_error_t* error = xcb_request_check(connection_, cookie);
  const bool ok = error == nullptr;
  FreeReply(error);
  return ok;
}

bool TestClient::DeleteMonitor(const std::string& name) {
  xcb_generic_error_t* error = xcb_request_check(
      connection_, xcb_randr_delete_monitor_checked(connection_, screen_->root, Atom(name)));
  const bool ok = error == nullptr;
  FreeReply(error);
  return ok;
}

}  // namespace tallowmarch::test
