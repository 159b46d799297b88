// The OpenGL window, run by the built program on a virtual display (Xvfb started here and
// stopped by its PID): a run of the bundled default design shows its solenoids and its pion
// beam at the machine's entrance in the scene and the report panel below them; the
// screensaver fills the screen and ends on a key or on the mouse moved away from the centre,
// but not on a small movement. Pictures are the program's own screenshots (ORDAX_SCREENSHOT).
// Skipped with a message when the program was built without the window or Xvfb is missing.
#include "display/window.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/support.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using testsupport::readfile;
using testsupport::writefile;

void pause(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

pid_t spawn(std::vector<std::string> words, const std::vector<std::string>& env,
            posix_spawn_file_actions_t* io) {
  std::vector<char*> argv, envp;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<std::string> e(env);
  for (char** p = environ; *p; p++) {
    std::string v = *p;
    bool replaced = false;
    for (const std::string& mine : env)
      replaced = replaced || v.rfind(mine.substr(0, mine.find('=') + 1), 0) == 0;
    if (!replaced) e.push_back(v);
  }
  for (std::string& v : e) envp.push_back(v.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], io, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  return pid;
}

int finish(pid_t pid, double seconds) { return testsupport::finishprocess(pid, seconds); }

bool onpath(const std::string& name) {
  return std::system(("command -v " + name + " > /dev/null 2>&1").c_str()) == 0;
}

// An Xvfb server of one screen; its display name comes back through -displayfd.
struct VirtualDisplay {
  pid_t pid = -1;
  std::string name;
  VirtualDisplay(int width, int height) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&io, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&io, fds[0]);
    pid = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                 std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp"},
                {}, &io);
    posix_spawn_file_actions_destroy(&io);
    close(fds[1]);
    std::string got;
    pollfd p{fds[0], POLLIN, 0};
    for (int i = 0; i < 100 && got.find('\n') == std::string::npos && pid > 0; i++) {
      if (poll(&p, 1, 100) > 0) {
        char buf[32];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, n);
      }
    }
    close(fds[0]);
    if (got.find('\n') != std::string::npos) name = ":" + got.substr(0, got.find('\n'));
  }
  ~VirtualDisplay() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      if (finish(pid, 5) < 0) waitpid(pid, nullptr, WNOHANG);
    }
  }
};

// A binary PPM as the program writes it.
struct Picture {
  int w = 0, h = 0;
  std::string px;
  explicit Picture(const std::string& bytes) {
    int n = 0;
    if (sscanf(bytes.c_str(), "P6 %d %d 255%n", &w, &h, &n) != 2 || n <= 0) return;
    px = bytes.substr(n + 1);
    if (px.size() != (size_t)w * h * 3) w = h = 0;
  }
  const unsigned char* at(int x, int y) const { return (const unsigned char*)px.data() + 3 * ((size_t)y * w + x); }
};

struct Colour {
  const char* name;
  bool (*is)(const unsigned char* p);
};
// The solenoids' orange (shaded, half transparent over the dark background), the pions' green,
// the panel's white text and blue rules.
const Colour ORANGE{"orange", [](const unsigned char* p) {
                      return p[0] > 45 && p[1] > 0.35 * p[0] && p[1] < 0.8 * p[0] && p[2] < 0.4 * p[0];
                    }};
const Colour GREEN{"green", [](const unsigned char* p) { return p[1] > 180 && p[0] < 110 && p[2] < 110; }};
const Colour WHITE{"white", [](const unsigned char* p) { return p[0] > 240 && p[1] > 240 && p[2] > 240; }};
bool isrule(const unsigned char* p) {
  return p[0] == 0 && p[1] == 0 && p[2] >= 120 && p[2] <= 136;
}

struct Census {
  long n = 0;
  double sx = 0;
  double meanx() const { return n ? sx / n : -1; }
};
Census census(const Picture& pic, const Colour& c, int y0, int y1) {
  Census r;
  for (int y = y0; y < y1; y++)
    for (int x = 0; x < pic.w; x++)
      if (c.is(pic.at(x, y))) r.n++, r.sx += x;
  return r;
}

// Moves the pointer or presses a key on the display, through Xlib and XTest from Python.
int xevent(const std::string& display, const std::string& what, int x = 0, int y = 0) {
  const char* script = R"(
import ctypes, sys
X = ctypes.CDLL("libX11.so.6")
X.XOpenDisplay.restype = ctypes.c_void_p
X.XOpenDisplay.argtypes = [ctypes.c_char_p]
X.XDefaultRootWindow.restype = ctypes.c_ulong
X.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
X.XWarpPointer.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong] + [ctypes.c_int] * 2 + [ctypes.c_uint] * 2 + [ctypes.c_int] * 2
X.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
X.XFlush.argtypes = [ctypes.c_void_p]
X.XCloseDisplay.argtypes = [ctypes.c_void_p]
d = X.XOpenDisplay(sys.argv[1].encode())
if not d:
    sys.exit(3)
if sys.argv[2] == "move":
    X.XWarpPointer(d, 0, X.XDefaultRootWindow(d), 0, 0, 0, 0, int(sys.argv[3]), int(sys.argv[4]))
else:
    T = ctypes.CDLL("libXtst.so.6")
    T.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
    code = X.XKeysymToKeycode(d, 0x62)  # 'b', no key of the view
    T.XTestFakeKeyEvent(d, code, 1, 0)
    T.XTestFakeKeyEvent(d, code, 0, 0)
X.XFlush(d)
X.XCloseDisplay(d)
)";
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  pid_t pid = spawn({"/usr/bin/python3", "-c", script, display, what, std::to_string(x),
                     std::to_string(y)},
                    {}, &io);
  posix_spawn_file_actions_destroy(&io);
  return pid > 0 ? finish(pid, 10) : -1;
}

// A home directory for the program (as in the end-to-end tests) with the default design.
class WindowSlow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!window_built()) GTEST_SKIP() << "the program was built without the OpenGL window (no GLFW)";
    if (!onpath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed (scripts/deps.sh --test)";
    fs::create_directories(dir / "lattices");
    fs::create_directories(dir / "datafiles");
    fs::copy_file(fs::path(ORDAX_SOURCE_DIR) / "lattices/decaychannel.txt",
                  dir / "lattices/decaychannel.txt");
    fs::create_symlink(ORDAX_BINARY, dir / "ordax");
    writefile(dir / "user.txt", "tester");
    writefile(dir / "config.txt",
              "Auto-send results ([Y]es, [N]o): N\n"
              "Update lattice files from web every N hours (0=don't): 0\n"
              "Download sample results file after a number of hours (0=don't, min. 6): 0\n"
              "Threads (number or 'auto'): 1\n");
  }
  void TearDown() override {
    if (program > 0) finish(program, 0);
  }
  // Starts the program on `display`; its screenshots go to "shot.ppm". Mesa's driver keeps
  // allocations to the end of the process, which a leak-checking build would call leaks.
  void start(const std::string& display, const std::vector<std::string>& args) {
    std::vector<std::string> words{(dir / "ordax").string()};
    words.insert(words.end(), args.begin(), args.end());
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_addopen(&io, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&io, 1, (dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&io, 1, 2);
    program = spawn(words,
                    {"DISPLAY=" + display, "ORDAX_SCREENSHOT=" + (dir / "shot.ppm").string(),
                     "ASAN_OPTIONS=detect_leaks=0"},
                    &io);
    posix_spawn_file_actions_destroy(&io);
  }
  // The first screenshot, once the program has written one (bounded wait).
  Picture firstshot(double seconds) {
    for (int i = 0; i < (int)(seconds * 20) && !fs::exists(dir / "shot.ppm"); i++) pause(50);
    return Picture(readfile(dir / "shot.ppm"));
  }
  int end(double seconds) {
    int code = finish(program, seconds);
    program = -1;
    return code;
  }
  // The output, and whether the program has ended (for failure messages).
  std::string output() {
    int status = 0;
    std::string state = program <= 0 ? "not started"
                        : waitpid(program, &status, WNOHANG) == 0
                            ? "still running"
                            : "ended with status " + std::to_string(status);
    if (state.rfind("ended", 0) == 0) program = -1;
    return state + "\n" + readfile(dir / "out.txt");
  }

  testsupport::TempDir home{"ordax_window"};
  const fs::path& dir = home.path();
  pid_t program = -1;
};

}  // namespace

TEST(Screensaver, EndsWhenTheMouseIsMoreThanATenthOfTheWidthFromTheCentre) {
  const struct {
    double x, y;
    bool moved;
  } cases[] = {
      {400, 300, false}, {480, 300, false}, {481, 300, true},  {320, 300, false},
      {400, 381, true},  {456, 356, false}, {457, 357, true},  {0, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
    EXPECT_EQ(screensaver_moved(c.x, c.y, 800, 600), c.moved);
  }
}

// -w: the window (1024 × 768 by default) shows the machine's solenoids across the middle of the
// scene, the pion beam at its entrance (left), and the report panel between blue rules below.
TEST_F(WindowSlow, RunOfTheDefaultDesignShowsMachineBeamAndPanel) {
  VirtualDisplay x(1280, 1024);
  ASSERT_FALSE(x.name.empty()) << "Xvfb did not start";
  start(x.name, {"-w", "-once", "decaychannel"});
  Picture pic = firstshot(120);
  ASSERT_EQ(pic.w, 1024) << output();
  ASSERT_EQ(pic.h, 768);
  std::vector<int> rules;
  for (int y = 0; y < pic.h; y++) {
    int n = 0;
    for (int xx = 0; xx < pic.w; xx++) n += isrule(pic.at(xx, y));
    if (n == pic.w) rules.push_back(y);
  }
  ASSERT_EQ(rules.size(), 8u);  // two rules of 4 rows
  const int scenebottom = rules.front(), panelbottom = rules.back();

  Census orange = census(pic, ORANGE, 0, scenebottom), green = census(pic, GREEN, 0, scenebottom);
  EXPECT_GT(orange.n, 2000);  // 16 solenoids
  EXPECT_GT(green.n, 9);      // at least a few pion points of 3 × 3 pixels
  EXPECT_NEAR(orange.meanx(), pic.w / 2.0, pic.w / 5.0);  // the machine is centred
  EXPECT_LT(green.meanx(), orange.meanx() - pic.w / 8.0);  // the beam is at the entrance
  // Nothing of the scene below it; the panel's text is white.
  EXPECT_EQ(census(pic, ORANGE, scenebottom, pic.h).n, 0);
  EXPECT_EQ(census(pic, GREEN, scenebottom, pic.h).n, 0);
  EXPECT_GT(census(pic, WHITE, scenebottom, panelbottom).n, 200);
  EXPECT_EQ(census(pic, WHITE, 0, scenebottom).n, 0);

  kill(program, SIGTERM);  // the quit signal: auto-save and the normal end
  EXPECT_EQ(end(60), 0) << output();
}

// -scr: full screen (the virtual screen's 800 × 600); a small movement of the mouse goes on,
// a larger one or a key ends the program normally. The run is throttled so that it is still
// going a second after the movement on a quiet machine (one unthrottled run of the design
// can end within that second).
TEST_F(WindowSlow, ScreensaverFillsTheScreenAndEndsOnAKeyOrTheMouse) {
  writefile(dir / "config.txt", readfile(dir / "config.txt") + "CPU throttle (%): 10\n");
  for (const char* how : {"move", "key"}) {
    SCOPED_TRACE(how);
    VirtualDisplay x(800, 600);
    ASSERT_FALSE(x.name.empty()) << "Xvfb did not start";
    fs::remove(dir / "shot.ppm");
    fs::remove(dir / "autogfx.sav");
    start(x.name, {"-scr", "-once", "decaychannel"});
    Picture pic = firstshot(120);
    EXPECT_EQ(pic.w, 800) << output();
    EXPECT_EQ(pic.h, 600);
    ASSERT_EQ(xevent(x.name, "move", 400 + 60, 300), 0);  // 60 < 800 / 10
    pause(1000);
    ASSERT_EQ(waitpid(program, nullptr, WNOHANG), 0) << "ended by a small movement";
    if (std::string(how) == "move") ASSERT_EQ(xevent(x.name, "move", 10, 10), 0);
    else ASSERT_EQ(xevent(x.name, "key"), 0);
    EXPECT_EQ(end(60), 0) << output();
  }
}
