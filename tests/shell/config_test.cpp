#include "shell/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/report.h"
#include "shell/runstate.h"
#include "tests/support/support.h"

using namespace std::string_literals;

namespace {

using namespace testsupport;

ConfigStore storeof(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  ConfigStore s = confignew();
  for (const auto& p : pairs) s.entries.push_back(ConfigEntry{p.first, p.second});
  return s;
}

std::vector<std::string> keysof(const ConfigStore& s) {
  std::vector<std::string> keys;
  for (const ConfigEntry& e : s.entries) keys.push_back(e.key);
  return keys;
}

std::vector<std::string> linesof(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, nl;
  while ((nl = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// ---- the store ----

TEST(ConfigStore, LookupPrefersShortestKeyThenLatest) {
  ConfigStore s = storeof({{"Threads (number or 'auto')", "auto"},
                           {"THREADS", "4"},
                           {"threads", "5"},
                           {"Thread", "x"},
                           {"Other", "o"}});
  EXPECT_STREQ(configget(s, "threads"), "5");  // 7-letter keys tie; the later wins
  EXPECT_STREQ(configget(s, "Thread"), "x");
  EXPECT_STREQ(configget(s, "threads (n"), "auto");
  EXPECT_STREQ(configget(s, ""), "o");  // every key matches; "Other" is shortest and later
  EXPECT_EQ(configget(s, "Threads (number or 'auto') and more"), nullptr);
  EXPECT_EQ(configget(s, "nothing"), nullptr);
  EXPECT_STREQ(configgetnth(s, "threads", 1), "auto");
  EXPECT_STREQ(configgetnth(s, "threads", 2), "4");
  EXPECT_STREQ(configgetnth(s, "threads", 3), "5");
  EXPECT_EQ(configgetnth(s, "threads", 4), nullptr);
  EXPECT_STREQ(configgetnth(s, "THREAD", 4), "x");
  EXPECT_EQ(configgetnth(s, "threads", 0), nullptr);
  EXPECT_TRUE(confighas(s, "tHrEaD"));
  EXPECT_FALSE(confighas(s, "Threadz"));
}

TEST(ConfigStore, SetDefaultRenameAndDeleteActOnTheRightEntry) {
  ConfigStore s = storeof({{"Alpha one", "1"}, {"alpha two", "2"}, {"Beta", "3"}});
  EXPECT_STREQ(configset(&s, "ALPHA", "9"), "9");  // the last key beginning with it
  EXPECT_STREQ(configget(s, "alpha two"), "9");
  EXPECT_STREQ(configget(s, "alpha one"), "1");
  configset(&s, "Gamma", "g");  // none matches: appended
  configdefault(&s, "alpha ONE", "x");  // exact key exists (without case): nothing
  configdefault(&s, "Alpha", "y");      // no exact "Alpha": appended although prefixes match
  EXPECT_EQ(keysof(s), (std::vector<std::string>{"Alpha one", "alpha two", "Beta", "Gamma",
                                                 "Alpha"}));
  EXPECT_STREQ(configget(s, "alpha one"), "1");
  EXPECT_EQ(configrename(&s, "ALPHA ONE", "A1"), 1);
  EXPECT_EQ(configrename(&s, "Alph", "zz"), 0);  // rename needs the exact key
  EXPECT_EQ(configdelete(&s, "alpha two"), 1);   // the last entry takes its place
  EXPECT_EQ(keysof(s), (std::vector<std::string>{"A1", "Alpha", "Beta", "Gamma"}));
  EXPECT_EQ(configdelete(&s, "Gamma"), 1);  // the last entry itself
  EXPECT_EQ(configdelete(&s, "Gamma"), 0);
  EXPECT_EQ(keysof(s), (std::vector<std::string>{"A1", "Alpha", "Beta"}));
  // Renames and deletes take the last of equal keys.
  ConfigStore d = storeof({{"k", "1"}, {"x", "2"}, {"K", "3"}, {"y", "4"}});
  configrename(&d, "k", "k2");
  EXPECT_EQ(keysof(d), (std::vector<std::string>{"k", "x", "k2", "y"}));
  configdelete(&d, "K");
  EXPECT_EQ(keysof(d), (std::vector<std::string>{"y", "x", "k2"}));
  configfree(&d);
  EXPECT_TRUE(d.entries.empty());
}

TEST(ConfigStore, TypedGettersAndSetters) {
  struct IntCase {
    const char* value;
    int expect;
  };
  const IntCase ints[] = {{"42", 42},          {"  -17xyz", -17},  {"auto", 0},
                          {"+5", 5},           {"", 0},            {"2147483647", INT_MAX},
                          {"-2147483648", INT_MIN}, {"99999999999", INT_MAX},
                          {"-99999999999", INT_MIN}, {"000000000000000000000012", 12}};
  for (const IntCase& c : ints) {
    SCOPED_TRACE(c.value);
    ConfigStore s = storeof({{"N", c.value}});
    EXPECT_EQ(configgeti(s, "n"), c.expect);
  }
  struct FlagCase {
    const char* value;
    int expect;
  };
  const FlagCase flags[] = {{"yes", 1}, {"Y", 1}, {"True", 1}, {"1", 1},  {"no", 0},
                            {"N", 0},   {"", 0},  {"0", 0},    {" y", 0}, {"false", 0}};
  for (const FlagCase& c : flags) {
    SCOPED_TRACE(c.value);
    ConfigStore s = storeof({{"F", c.value}});
    EXPECT_EQ(configgetb(s, "f"), c.expect);
  }
  ConfigStore s = storeof({{"D", "2.5"}, {"E", "1e3"}, {"Nan", "nan"}});
  EXPECT_EQ(configgetd(s, "d", 7), 2.5);
  EXPECT_EQ(configgetd(s, "e", 7), 1000.0);
  EXPECT_TRUE(std::isnan(configgetd(s, "nan", 7)));
  EXPECT_EQ(configgetd(s, "absent", 7), 7.0);
  EXPECT_EQ(configgeti(s, "absent"), 0);
  EXPECT_EQ(configgetb(s, "absent"), 0);

  EXPECT_STREQ(configsetd(&s, "x", 1.0 / 3), "0.333333333333333");
  EXPECT_STREQ(configsetd(&s, "y", 0.1), "0.1");
  EXPECT_STREQ(configsetf(&s, "z", 1.0f / 3), "0.3333333");
  EXPECT_STREQ(configseti(&s, "i", -5), "-5");
  configsetb(&s, "Fullscreen", 1);
  configsetb(&s, "Fog", 0);
  configsetternary(&s, "Lighting", 2);
  EXPECT_STREQ(configget(s, "Fullscreen (Y/N)"), "Y");
  EXPECT_STREQ(configget(s, "Fog (Y/N)"), "N");
  EXPECT_STREQ(configget(s, "Lighting mode (0,1,2)"), "2");
  EXPECT_EQ(configgetb(s, "Fullscreen"), 1);
}

TEST(ConfigStore, VectorAndFrameValuesRoundTrip) {
  ConfigStore s = confignew();
  const int iv[] = {1, -2, 3};
  configsetiv(&s, "Ints", iv, 3);
  EXPECT_STREQ(configget(s, "Ints"), "1,-2,3");
  int iout[3] = {99, 99, 99};
  unsigned n = 0;
  configgetiv(s, "Ints", iout, 2, &n);
  EXPECT_EQ(n, 3u);  // the number of pieces, even above max
  EXPECT_EQ(iout[0], 1);
  EXPECT_EQ(iout[1], -2);
  EXPECT_EQ(iout[2], 99);

  const double dv[] = {0.1, -2.5e-7, 123456789012345.0, 1.0 / 1024};
  configsetdv(&s, "Doubles", dv, 4);
  double dout[4];
  configgetdv(s, "Doubles", dout, 4, &n);
  ASSERT_EQ(n, 4u);
  for (int i = 0; i < 4; i++) EXPECT_EQ(dout[i], dv[i]);
  const float fv[] = {0.5f, 0.1f, 1.0f / 3};
  configsetfv(&s, "Floats", fv, 3);
  EXPECT_STREQ(configget(s, "Floats"), "0.5,0.1,0.3333333");
  float fout[2];
  configgetfv(s, "Floats", fout, 2, &n);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(fout[0], 0.5f);
  EXPECT_EQ(fout[1], 0.1f);
  configsetiv(&s, "Empty", iv, 0);
  EXPECT_STREQ(configget(s, "Empty"), "");

  // Absent key: no values, output untouched.
  n = 77;
  iout[0] = 99;
  configgetiv(s, "Absent", iout, 3, &n);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(iout[0], 99);
  // Empty and odd pieces read as atoi does.
  configset(&s, "Odd", "4,,x");
  configgetiv(s, "Odd", iout, 3, &n);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(iout[0], 4);
  EXPECT_EQ(iout[1], 0);
  EXPECT_EQ(iout[2], 0);

  AffineFrame f{V3{1.5, -2.25, 1e-3}, M3x3{{{0.6, -0.8, 0}, {0.8, 0.6, 0}, {0, 0, 1}}}};
  configsetAffineFrame(&s, "Camera", f);
  EXPECT_STREQ(configget(s, "Camera position"), "1.5,-2.25,0.001");
  EXPECT_STREQ(configget(s, "Camera rotation matrix"), "0.6,-0.8,0,0.8,0.6,0,0,0,1");
  AffineFrame back = configgetAffineFrame(s, "Camera");
  EXPECT_EQ(back.origin, f.origin);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) EXPECT_EQ(back.M.m[i][j], f.M.m[i][j]);
  AffineFrame none = configgetAffineFrame(s, "Nothing");
  EXPECT_EQ(none.origin, (V3{0, 0, 0}));
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) EXPECT_EQ(none.M.m[i][j], i == j ? 1.0 : 0.0);
  configset(&s, "Short position", "4,5");  // a short list keeps the rest of the identity
  EXPECT_EQ(configgetAffineFrame(s, "Short").origin, (V3{4, 5, 0}));
}

// ---- files ----

// A fresh working directory, captured messages, recorded retry pauses, fresh run settings.
class ConfigFile : public testing::Test {
 public:
  static std::vector<uint32_t> sleeps;

 protected:
  WorkDir dir{"ordax_config"};
  AllMessages captured;
  std::vector<std::string>& messages = captured.all;

  void SetUp() override {
    sleeps.clear();
    ordaxconfig_setsleep([](uint32_t ms) { sleeps.push_back(ms); });
    settings = RunSettings{};
  }
  void TearDown() override {
    ordaxconfig_setsleep(nullptr);
    settings = RunSettings{};
  }
};
std::vector<uint32_t> ConfigFile::sleeps;

TEST_F(ConfigFile, LoadReadsEveryLineFormAndSaveWritesStoreOrder) {
  writefile("in.txt", "Key one: value one\r\nno separator here\nKey two :  a:b:c  \r"
                    "Dup: 1\n\n  Spaced key\t:\tv \nDup: 2\0Zero: z\r\n:lonely"s);
  int err = -1;
  ConfigStore s = configload("in.txt", ':', &err);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(keysof(s), (std::vector<std::string>{"Key one", "Key two", "Dup", "Spaced key",
                                                 "Dup", "Zero", ""}));
  EXPECT_STREQ(configget(s, "Key two"), "a:b:c");
  EXPECT_STREQ(configget(s, "Dup"), "2");
  EXPECT_STREQ(configget(s, "Zero"), "z");
  EXPECT_EQ(configsave(s, "out.txt", ':'), 1);
  EXPECT_EQ(readfile("out.txt"), "Key one: value one\nKey two: a:b:c\nDup: 1\nSpaced key: v\n"
                                "Dup: 2\nZero: z\n: lonely\n");
  // Another separator, as the display settings use.
  writefile("eq.txt", "a = b:c\nd: e\n");
  ConfigStore e = configload("eq.txt", '=');
  EXPECT_EQ(keysof(e), (std::vector<std::string>{"a"}));
  EXPECT_STREQ(configget(e, "a"), "b:c");

  ConfigStore missing = configload("missing.txt", ':', &err);
  EXPECT_TRUE(missing.entries.empty());
  EXPECT_EQ(err, ENOENT);
  writefile("empty.txt", "");
  ConfigStore empty = configload("empty.txt", ':', &err);
  EXPECT_TRUE(empty.entries.empty());
  EXPECT_EQ(err, 0);
  EXPECT_TRUE(messages.empty());

  EXPECT_EQ(configsave(s, "nodir/out.txt", ':'), 0);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "[WARNING] Could not write the settings file nodir/out.txt"}));
}

// The fresh file, in order, as typed from the settings table.
const std::vector<std::pair<std::string, std::string>> DEFAULTS = {
    {"Resolution (XxY, 'auto' or 'span')", "auto"},
    {"Priority for background running ([N]ormal, [L]ow, [B]ackground)", "L"},
    {"Threads (number or 'auto')", "auto"},
    {"Auto-send results ([Y]es, [N]o)", "Y"},
    {"Results upload method ('FTP' or 'HTTP')", "HTTP"},
    {"Use proxy server for HTTP downloads ('auto', 'no' or server,port)", "auto"},
    {"Auto-save interval (seconds; 0 for no save)", "240"},
    {"Update lattice files from web every N hours (0=don't)", "12"},
    {"Download sample results file after a number of hours (0=don't, min. 6)", "24"},
    {"Sample file behaviour - use [L]atest only, or [A]ccumulate", "L"},
    {"Delete sample files for old lattices", "Y"},
    {"Sample file URL (.bin allowed)", ORDAX_SAMPLEURL_DEFAULT},
    {"Results file maximum size before pruning (MB, 0 to disable)", "50"},
    {"Keep mode ([B]est results, [F]irst, [L]atest or [R]andom)", "B"},
    {"Keep proportion (%)", "50"},
    {"Removed results store (or 'none')", "results_removed.dat"},
    {"Sleep on battery power", "Y"},
    {"CPU throttle (%)", "100"},
    {"Preferred lattices (comma-separated list or 'none')", "none"},
    {"TrialType ratios",
     "Random=0;Mutate=3;Crossover=3;Interpolate=3;Extrapolate=3;MuSpherical=3;Brindle=3;"
     "Extreme=1;LocalGrad=3;TopoSmooth=1;CellDouble=1;CellDelete=1;CellCommute=1;"},
    {"Particles per extra thread (limits threading overhead)", "35"},
    {"Rechecks for best-so-far results (min. 5)", "5"},
    {"FTP command call", "ftp -s:script.ftp"},
    {"Use passive (PASV) mode for FTP transfers", "N"},
    {"Use old FTP calling method (as pre-v4.34; can hang, but more compatible with ZoneAlarm)",
     "N"},
};

std::vector<std::string> defaultlines() {
  std::vector<std::string> lines;
  for (const auto& kv : DEFAULTS) lines.push_back(kv.first + ": " + kv.second);
  return lines;
}

std::string keyof(const char* start) {
  for (const auto& kv : DEFAULTS)
    if (kv.first.compare(0, strlen(start), start) == 0) return kv.first;
  ADD_FAILURE() << "no default key " << start;
  return start;
}

// Values a load that falls back to the defaults must replace, and the check that it did.
void changesettings() {
  settings.cputhrottle = 7;
  settings.threads = 9;
  settings.sampleurl = "old";
}
void expectdefaultsrestored() {
  EXPECT_EQ(settings.cputhrottle, 100);
  EXPECT_EQ(settings.threads, 0);
  EXPECT_EQ(settings.sampleurl, ORDAX_SAMPLEURL_DEFAULT);
}

TEST_F(ConfigFile, EmptyOrMissingFileBecomesTheDefaultFile) {
  std::string url = ORDAX_SAMPLEURL_DEFAULT;
  const std::string path = "/ordax/samplefiles/{lattice}_100.bin";
  ASSERT_GT(url.size(), path.size());
  EXPECT_EQ(url.substr(url.size() - path.size()), path);
  EXPECT_EQ(url.compare(0, 7, "http://"), 0);

  for (bool exists : {false, true}) {
    SCOPED_TRACE(exists ? "empty file" : "no file");
    if (exists) writefile("config.txt", "");
    else std::filesystem::remove("config.txt");
    changesettings();  // every run setting is written by each load
    ordaxconfig();
    EXPECT_EQ(linesof(readfile("config.txt")), defaultlines());
    expectdefaultsrestored();
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(messages, (std::vector<std::string>{
                            exists ? "Settings file config.txt holds no settings: default "
                                     "settings are used and written to it"
                                   : "No settings file config.txt: default settings are used "
                                     "and written to it"}));
    messages.clear();
    // A second start finds nothing to change.
    std::string first = readfile("config.txt");
    ordaxconfig();
    EXPECT_EQ(readfile("config.txt"), first);
    EXPECT_TRUE(messages.empty());
  }
}

TEST_F(ConfigFile, OldKeysAreMigrated) {
  writefile("config.txt", "Threads: 4\n");
  ordaxconfig();
  std::vector<std::string> lines = linesof(readfile("config.txt"));
  std::vector<std::string> expect = defaultlines();
  expect.erase(expect.begin() + 2);
  expect.insert(expect.begin(), "Threads (number or 'auto'): 4");
  EXPECT_EQ(lines, expect);
  EXPECT_EQ(settings.threads, 4);
  // An old key given twice: its last line counts, at this start and the next.
  writefile("config.txt", "Threads: 40\nThreads: 3\n");
  for (int start = 0; start < 2; start++) {
    ordaxconfig();
    EXPECT_EQ(settings.threads, 3) << "start " << start;
  }

  struct Case {
    std::string in;          // the old line
    std::string expectline;  // what the file holds instead
    std::function<void()> check;
  };
  const std::string days = "Download sample results file after a number of days (0=don't): ";
  const std::string hours = keyof("Download sample") + ": ";
  const Case cases[] = {
      {"Resolution: 800x600", "Resolution (XxY, 'auto' or 'span'): 800x600",
       [] { EXPECT_EQ(settings.screenwidth, 800); EXPECT_EQ(settings.screenheight, 600); }},
      {"Resolution (XxY or 'auto'): span", "Resolution (XxY, 'auto' or 'span'): span",
       [] { EXPECT_EQ(settings.screenwidth, -1); EXPECT_EQ(settings.screenheight, -1); }},
      {"Use proxy server for HTTP downloads (server,port or 'no'): no",
       keyof("Use proxy") + ": no", [] { EXPECT_EQ(settings.proxyset, 1); }},
      {days + "3", hours + "24", [] { EXPECT_EQ(settings.samplehours, 24); }},
      {days + "2", hours + "48", [] { EXPECT_EQ(settings.samplehours, 48); }},
      {days + "1", hours + "24", [] { EXPECT_EQ(settings.samplehours, 24); }},
      {days + "0", hours + "0", [] { EXPECT_EQ(settings.samplehours, 0); }},
      {days + "99999999999", hours + "2147483647",
       [] { EXPECT_EQ(settings.samplehours, INT_MAX); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    settings = RunSettings{};
    writefile("config.txt", c.in + "\n");
    ordaxconfig();
    std::vector<std::string> got = linesof(readfile("config.txt"));
    ASSERT_EQ(got.size(), 25u);
    EXPECT_EQ(got[0], c.expectline);
    c.check();
  }

  // The days key in mid-file: the new hours entry, appended, is moved into its place.
  writefile("config.txt", "A: 1\n" + days + "2\nB: 2\nSample file URL: http://old/\n");
  ordaxconfig();
  lines = linesof(readfile("config.txt"));
  ASSERT_EQ(lines.size(), 27u);
  EXPECT_EQ(lines[0], "A: 1");
  EXPECT_EQ(lines[1], hours + "48");
  EXPECT_EQ(lines[2], "B: 2");
  // Deleting the old URL key moved the then-last entry into its place.
  EXPECT_EQ(lines[3], keyof("Delete sample") + ": Y");
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Sample file URL (.bin allowed): " + std::string(ORDAX_SAMPLEURL_DEFAULT)),
            lines.end());
  EXPECT_EQ(readfile("config.txt").find("http://old/"), std::string::npos);
}

TEST_F(ConfigFile, ClampedValuesAreWrittenBack) {
  struct Case {
    const char* start;  // the default key this line sets
    const char* value;
    const char* written;
    std::function<void()> check;
  };
  const Case cases[] = {
      {"CPU throttle", "250", "100", [] { EXPECT_EQ(settings.cputhrottle, 100); }},
      {"CPU throttle", "0", "100", [] { EXPECT_EQ(settings.cputhrottle, 100); }},
      {"CPU throttle", "99999999999", "100", [] { EXPECT_EQ(settings.cputhrottle, 100); }},
      {"CPU throttle", "-99999999999", "100", [] { EXPECT_EQ(settings.cputhrottle, 100); }},
      {"CPU throttle", "1", "1", [] { EXPECT_EQ(settings.cputhrottle, 1); }},
      {"CPU throttle", "abc", "100", [] { EXPECT_EQ(settings.cputhrottle, 100); }},
      {"CPU throttle", "", "100", [] { EXPECT_EQ(settings.cputhrottle, 100); }},
      {"CPU throttle", "nan", "100", [] { EXPECT_EQ(settings.cputhrottle, 100); }},
      {"CPU throttle", "inf", "100", [] { EXPECT_EQ(settings.cputhrottle, 100); }},
      {"CPU throttle", "50%", "100", [] { EXPECT_EQ(settings.cputhrottle, 100); }},
      {"Threads", "four", "auto", [] { EXPECT_EQ(settings.threads, 0); }},
      {"Threads", "AUTO", "AUTO", [] { EXPECT_EQ(settings.threads, 0); }},
      {"CPU throttle", "55", "55", [] { EXPECT_EQ(settings.cputhrottle, 55); }},
      {"Keep mode", "x", "B", [] { EXPECT_EQ(settings.keepmode, 'B'); }},
      {"Keep mode", "", "B", [] { EXPECT_EQ(settings.keepmode, 'B'); }},
      {"Keep mode", "first", "first", [] { EXPECT_EQ(settings.keepmode, 'F'); }},
      {"Keep mode", "R", "R", [] { EXPECT_EQ(settings.keepmode, 'R'); }},
      {"Keep proportion", "nan", "50", [] { EXPECT_EQ(settings.keepproportion, 0.5f); }},
      {"Keep proportion", "250", "100", [] { EXPECT_EQ(settings.keepproportion, 1.0f); }},
      {"Keep proportion", "-1", "0", [] { EXPECT_EQ(settings.keepproportion, 0.0f); }},
      {"Keep proportion", "12.5", "12.5", [] { EXPECT_EQ(settings.keepproportion, 0.125f); }},
      {"Threads", "-7", "auto", [] { EXPECT_EQ(settings.threads, 0); }},
      {"Threads", "99999999999", "1024", [] { EXPECT_EQ(settings.threads, 1024); }},
      {"Threads", "6", "6", [] { EXPECT_EQ(settings.threads, 6); }},
      {"Download sample", "3", "6", [] { EXPECT_EQ(settings.samplehours, 6); }},
      {"Download sample", "5", "6", [] { EXPECT_EQ(settings.samplehours, 6); }},
      {"Download sample", "-4", "0", [] { EXPECT_EQ(settings.samplehours, 0); }},
      {"Download sample", "7", "7", [] { EXPECT_EQ(settings.samplehours, 7); }},
      {"Update lattice", "-1", "0", [] { EXPECT_EQ(settings.latticeupdatehours, 0); }},
      {"Auto-save", "nan", "240", [] { EXPECT_EQ(settings.autosaveinterval, 240.0); }},
      {"Auto-save", "-3", "240", [] { EXPECT_EQ(settings.autosaveinterval, 240.0); }},
      {"Results file maximum", "1.5", "1.5",
       [] { EXPECT_EQ(settings.resultsmaxsize, 1572864); }},
      {"Results file maximum", "0.0000004", "0.0000004",
       [] { EXPECT_EQ(settings.resultsmaxsize, 0); }},  // 0.42 bytes rounds to 0
      {"Results file maximum", "0.0000005", "0.0000005",
       [] { EXPECT_EQ(settings.resultsmaxsize, 1); }},  // 0.52 bytes rounds to 1
      {"Results file maximum", "5000", "5000",
       [] { EXPECT_EQ(settings.resultsmaxsize, INT32_MAX); }},
      {"Results file maximum", "-3", "0", [] { EXPECT_EQ(settings.resultsmaxsize, 0); }},
      {"Results file maximum", "nan", "50",
       [] { EXPECT_EQ(settings.resultsmaxsize, 50 * 1048576); }},
  };
  for (const Case& c : cases) {
    std::string key = keyof(c.start);
    SCOPED_TRACE(key + ": " + c.value);
    settings = RunSettings{};
    writefile("config.txt", key + ": " + c.value + "\n");
    ordaxconfig();
    std::vector<std::string> lines = linesof(readfile("config.txt"));
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines[0], key + ": " + c.written);
    c.check();
  }
}

// A value that is not a plain number is named once (the file then holds the value used); a
// CPU share below 1 % would make every run endless, so it is full speed, also reported.
TEST_F(ConfigFile, ValuesThatAreNotNumbersAreReportedOnce) {
  struct Case {
    const char* start;
    const char* value;
    const char* message;
  };
  const Case cases[] = {
      {"CPU throttle", "abc", "Setting \"CPU throttle (%)\" is not a number (\"abc\"): 100 is used"},
      {"CPU throttle", "", "Setting \"CPU throttle (%)\" is not a number (\"\"): 100 is used"},
      {"CPU throttle", "inf", "Setting \"CPU throttle (%)\" is not a number (\"inf\"): 100 is used"},
      {"CPU throttle", "0", "Setting \"CPU throttle (%)\" of 0 is not a share of the processor: "
                            "100 is used"},
      {"Auto-save", "nan", "Setting \"Auto-save interval (seconds; 0 for no save)\" is not a "
                           "number (\"nan\"): 240 is used"},
      {"Threads", "four", "Setting \"Threads (number or 'auto')\" is not a number (\"four\"): "
                          "auto is used"},
      {"Keep proportion", "1e", "Setting \"Keep proportion (%)\" is not a number (\"1e\"): 50 is "
                                "used"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.start) + ": " + c.value);
    writefile("config.txt", keyof(c.start) + ": " + c.value + "\n");
    messages.clear();
    ordaxconfig();
    EXPECT_EQ(messages, (std::vector<std::string>{c.message}));
    messages.clear();
    ordaxconfig();
    EXPECT_TRUE(messages.empty());
  }
}

// A leading byte-order mark does not hide the first setting; the file is replaced through a
// new file renamed over it (a link to it stays a link); an unreadable file is never replaced.
TEST_F(ConfigFile, MarkIsSkippedAndTheFileIsReplacedWhole) {
  writefile("config.txt", "\xEF\xBB\xBF" "CPU throttle (%): 40\n");
  ordaxconfig();
  EXPECT_EQ(settings.cputhrottle, 40);
  EXPECT_EQ(linesof(readfile("config.txt"))[0], "CPU throttle (%): 40");
  EXPECT_TRUE(messages.empty());

  std::filesystem::rename("config.txt", "real.txt");
  std::filesystem::create_symlink("real.txt", "config.txt");
  writefile("real.txt", "Threads: 3\n");
  ordaxconfig();
  EXPECT_TRUE(std::filesystem::is_symlink("config.txt"));
  EXPECT_EQ(linesof(readfile("real.txt"))[0], "Threads (number or 'auto'): 3");
  EXPECT_FALSE(std::filesystem::exists("real.txt.new"));
  EXPECT_EQ(settings.threads, 3);
}

TEST_F(ConfigFile, ValuesBecomeRunSettings) {
  struct Case {
    const char* start;
    const char* value;
    std::function<void()> check;
  };
  const std::string longcmd(2000, 'c'), longlist(600, 'l');
  const Case cases[] = {
      {"Resolution", "1024x768",
       [] { EXPECT_EQ(settings.screenwidth, 1024); EXPECT_EQ(settings.screenheight, 768); }},
      {"Resolution", "12x",
       [] { EXPECT_EQ(settings.screenwidth, 0); EXPECT_EQ(settings.screenheight, 0); }},
      {"Resolution", "x600",
       [] { EXPECT_EQ(settings.screenwidth, 0); EXPECT_EQ(settings.screenheight, 0); }},
      {"Resolution", "-5x-5",
       [] { EXPECT_EQ(settings.screenwidth, 0); EXPECT_EQ(settings.screenheight, 0); }},
      {"Resolution", "AUTO",
       [] { EXPECT_EQ(settings.screenwidth, 0); EXPECT_EQ(settings.screenheight, 0); }},
      {"Resolution", "Span",
       [] { EXPECT_EQ(settings.screenwidth, -1); EXPECT_EQ(settings.screenheight, -1); }},
      {"Priority", "Background",
       [] { EXPECT_EQ(settings.priorityclass, 0x40); EXPECT_EQ(settings.threadpriority, -15); }},
      {"Priority", "normal",
       [] { EXPECT_EQ(settings.priorityclass, 0x20); EXPECT_EQ(settings.threadpriority, 0); }},
      {"Priority", "L",
       [] { EXPECT_EQ(settings.priorityclass, 0x20); EXPECT_EQ(settings.threadpriority, -2); }},
      {"Priority", "x",
       [] { EXPECT_EQ(settings.priorityclass, 0x20); EXPECT_EQ(settings.threadpriority, -15); }},
      {"Priority", "",
       [] { EXPECT_EQ(settings.priorityclass, 0x20); EXPECT_EQ(settings.threadpriority, -15); }},
      {"Threads", "auto", [] { EXPECT_EQ(settings.threads, 0); }},
      {"Auto-send", "No", [] { EXPECT_EQ(settings.autosend, 0); }},
      {"Auto-send", "true", [] { EXPECT_EQ(settings.autosend, 1); }},
      {"Auto-send", "1", [] { EXPECT_EQ(settings.autosend, 1); }},
      {"Results upload", "http", [] { EXPECT_EQ(settings.uploadhttp, 1); }},
      {"Results upload", "FTP", [] { EXPECT_EQ(settings.uploadhttp, 0); }},
      {"Results upload", "HTTPS", [] { EXPECT_EQ(settings.uploadhttp, 0); }},
      {"Sample file behaviour", "accumulate", [] { EXPECT_EQ(settings.samplebehaviour, 'A'); }},
      {"Sample file URL", "http://x/{lattice}.bin",
       [] { EXPECT_EQ(settings.sampleurl, "http://x/{lattice}.bin"); }},
      {"Delete sample", "N", [] { EXPECT_EQ(settings.deleteoldsamples, 0); }},
      {"Removed results", "NONE", [] { EXPECT_EQ(settings.removedstore, ""); }},
      {"Removed results", "gone.dat", [] { EXPECT_EQ(settings.removedstore, "gone.dat"); }},
      {"Particles per", "0", [] { EXPECT_EQ(settings.particlesperthread, 1); }},
      {"Particles per", "-5", [] { EXPECT_EQ(settings.particlesperthread, 1); }},
      {"Particles per", "100", [] { EXPECT_EQ(settings.particlesperthread, 100); }},
      {"FTP command", longcmd.c_str(),
       [] { EXPECT_EQ(settings.ftpcommand, std::string(999, 'c')); }},
      {"Preferred lattices", longlist.c_str(),
       [] { EXPECT_EQ(settings.preferredlattices, std::string(499, 'l')); }},
      {"Use passive", "yes", [] { EXPECT_EQ(settings.passiveftp, 1); }},
      {"Use old FTP", "T", [] { EXPECT_EQ(settings.oldftp, 1); }},
      {"Sleep on battery", "n", [] { EXPECT_EQ(settings.sleeponbattery, 0); }},
      {"Rechecks", "7", [] { EXPECT_EQ(settings.rechecks, 7); EXPECT_EQ(settings.recheckoff, 0); }},
  };
  for (const Case& c : cases) {
    std::string key = keyof(c.start);
    SCOPED_TRACE(key + ": " + std::string(c.value).substr(0, 30));
    settings = RunSettings{};
    writefile("config.txt", key + ": " + c.value + "\n");
    ordaxconfig();
    std::vector<std::string> lines = linesof(readfile("config.txt"));
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines[0], key + ": " + c.value);  // kept as written
    c.check();
  }

  // Yes with blanks around it reads as on and is written back without them.
  writefile("config.txt", keyof("Auto-send") + ":    yes   \n");
  settings.autosend = 0;
  ordaxconfig();
  EXPECT_EQ(settings.autosend, 1);
  EXPECT_EQ(linesof(readfile("config.txt"))[0], keyof("Auto-send") + ": yes");
}

TEST_F(ConfigFile, OneWaySwitchesStayOff) {
  const std::string rechecks = keyof("Rechecks"), autosave = keyof("Auto-save");
  writefile("config.txt", rechecks + ": 4\n" + autosave + ": 0\n");
  ordaxconfig();
  EXPECT_EQ(settings.rechecks, 4);
  EXPECT_EQ(settings.recheckoff, 1);
  EXPECT_EQ(settings.autosaveinterval, 0.0);
  EXPECT_EQ(settings.autosaveoff, 1);
  writefile("config.txt", rechecks + ": 9\n" + autosave + ": 60\n");
  ordaxconfig();
  EXPECT_EQ(settings.rechecks, 9);
  EXPECT_EQ(settings.recheckoff, 1);
  EXPECT_EQ(settings.autosaveinterval, 60.0);
  EXPECT_EQ(settings.autosaveoff, 1);
}

TEST_F(ConfigFile, ProxyForms) {
  const std::string key = keyof("Use proxy");
  struct Case {
    const char* value;
    unsigned char set;
    const char* host;
    uint16_t port;
  };
  const Case cases[] = {
      {"proxy.example.net,8080", 1, "proxy.example.net", 8080},
      {"no", 1, "", 0},
      {"auto", 0, "", 0},
      {"plainhost", 1, "keep.example", 3128},  // no comma: unchanged
      {"h , 99999", 1, "h", 0},                // not a port
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    settings = RunSettings{};
    settings.proxyset = 1;
    settings.proxyhost = "keep.example";
    settings.proxyport = 3128;
    writefile("config.txt", key + ": " + c.value + "\n");
    ordaxconfig();
    EXPECT_EQ(settings.proxyset, c.set);
    EXPECT_EQ(settings.proxyhost, c.host);
    EXPECT_EQ(settings.proxyport, c.port);
  }
}

TEST_F(ConfigFile, TrialTypeRatiosChangeOnlyTheNamedTypes) {
  struct Case {
    const char* value;
    std::vector<std::pair<int, double>> changed;  // index, new ratio
  };
  const Case cases[] = {
      {"Mutate=5;", {{1, 5}}},
      {"mutate=5;CELLCOMMUTE=0;Bogus=4;", {{1, 5}, {12, 0}}},
      {"Random=1234;Extreme=-2;", {{0, 999}, {7, 0}}},
      {"Mutate=5;Mutate=6;", {{1, 5}}},  // the first of a repeated name
      {"garbage without items", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    settings = RunSettings{};
    double present[NTRIALTYPES];
    for (int i = 0; i < NTRIALTYPES; i++) present[i] = settings.trialratios[i] = 10 + i;
    writefile("config.txt", std::string("TrialType ratios: ") + c.value + "\n");
    ordaxconfig();
    for (const auto& ch : c.changed) present[ch.first] = ch.second;
    for (int i = 0; i < NTRIALTYPES; i++) EXPECT_EQ(settings.trialratios[i], present[i]) << i;
  }
}

TEST_F(ConfigFile, BadFileStartsWithSoundValues) {
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::string junk;
  for (int i = 0; i < 65536; i++) junk += (char)(rng() & 0xFF);
  std::string bigline(10u << 20, 'q');  // 10 MB without a colon: dropped
  std::string bigvalue = "Big value: " + std::string(1u << 20, 'v');
  std::string file = junk + "\nThreads: -7\nCPU throttle: 99999999999\nResolution: 12x\n" +
                     "Keep proportion (%): nan\nDup key: 1\nDup key: 1\n" + bigline + "\n" +
                     bigvalue + "\n" + junk;
  writefile("config.txt", file);
  ordaxconfig();
  EXPECT_EQ(settings.threads, 0);
  EXPECT_EQ(settings.cputhrottle, 100);
  EXPECT_EQ(settings.screenwidth, 0);
  EXPECT_EQ(settings.screenheight, 0);
  EXPECT_EQ(settings.keepproportion, 0.5f);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "Setting \"Keep proportion (%)\" is not a number (\"nan\"): 50 is used"}));
  std::string written = readfile("config.txt");
  EXPECT_EQ(written.find(bigline), std::string::npos);
  EXPECT_NE(written.find("\n" + bigvalue + "\n"), std::string::npos);
  EXPECT_NE(written.find("\nDup key: 1\nDup key: 1\n"), std::string::npos);
  EXPECT_NE(written.find("\nThreads (number or 'auto'): auto\n"), std::string::npos);
  EXPECT_NE(written.find("\nResolution (XxY, 'auto' or 'span'): 12x\n"), std::string::npos);
  EXPECT_NE(written.find("\nKeep proportion (%): 50\n"), std::string::npos);
  // Every default key is present, and a second start changes nothing more.
  for (const auto& kv : DEFAULTS) EXPECT_NE(written.find("\n" + kv.first + ": "), std::string::npos);
  ordaxconfig();
  EXPECT_EQ(readfile("config.txt"), written);
}

// A quit signal during the third pause (recorded first).
void sleepthenquit(uint32_t ms) {
  ConfigFile::sleeps.push_back(ms);
  if (ConfigFile::sleeps.size() == 3) simstop = 2;
}

TEST_F(ConfigFile, UnreadableFileIsRetriedThenDefaultsAreUsed) {
  // A link to itself exists but can never be opened, for reading or for writing. 13 tries,
  // about 8 s in all; a quit signal ends the tries at once.
  std::filesystem::create_symlink("config.txt", "config.txt");
  for (bool quit : {false, true}) {
    SCOPED_TRACE(quit);
    messages.clear();
    sleeps.clear();
    if (quit) ordaxconfig_setsleep(sleepthenquit);
    changesettings();
    ordaxconfig();
    simstop = 0;
    std::vector<uint32_t> expect;
    for (int i = 0; i <= (quit ? 2 : 12); i++) expect.push_back(1u << i);
    EXPECT_EQ(sleeps, expect);
    expectdefaultsrestored();
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "Settings file config.txt could not be read: default settings are "
                            "used and the file is left as it is"}));
    EXPECT_TRUE(std::filesystem::is_symlink("config.txt"));  // not replaced
  }
}

TEST_F(ConfigFile, UnwritableFileIsReportedAndTheRunGoesOn) {
  // The link's target directory does not exist: reading finds no file (no retries), writing fails.
  std::filesystem::create_symlink("nodir/config.txt", "config.txt");
  changesettings();
  ordaxconfig();
  EXPECT_TRUE(sleeps.empty());
  expectdefaultsrestored();
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "No settings file config.txt: default settings are used and written "
                          "to it",
                          "[WARNING] Could not write the settings file config.txt"}));
}

}  // namespace
