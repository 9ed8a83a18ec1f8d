// Runs the built program, natively or under Wine, and checks what a caller
// sees: the exact bytes on standard output, nothing on standard error, the
// exit status, and that nothing was created or changed on disk.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  std::vector<std::string> runner;  // e.g. Wine's loader; empty when native
  std::string program;
  std::string helper;      // Windows helper that holds files, starts raw lines
  std::string dosdevices;  // Wine prefix's device folder, where COMn link
  bool windows = false;    // CR LF line ends and the Windows-only cases
  int timeout = 20;
};
Options options;

std::string Lines(std::string text) {
  if (!options.windows) return text;
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return crlf;
}

const std::string kBanner =
    "Quelvarn: Programa para patchear problema de puertos seriales bajo "
    "Windows 98 SE\nCompa\xA4\xA1"
    "a Ketravol\n";
const std::string kUsage = "Uso: Quelvarn n\n\tn: numero de COM a usar\n";
const std::string kOpenFailure = "El puerto especificado no pudo ser abierto\n";

std::string Refused() { return Lines(kBanner + kUsage); }
std::string Failed() { return Lines(kBanner + kOpenFailure); }
std::string Initialized(const std::string& name) {
  return Lines(kBanner + name + " inicializado\n");
}

std::vector<std::string> Names(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/quelvarn-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Outcome Run(const std::vector<std::string>& args,
              Output output = Output::kPipe) {
    std::vector<std::string> words = {options.program};
    words.insert(words.end(), args.begin(), args.end());
    return Start(words, output);
  }

  // Runs `words` (an executable and its arguments) in the test's folder,
  // through the runner, itself started through `wrapper` when given.
  Outcome Start(const std::vector<std::string>& words,
                Output output = Output::kPipe,
                const std::vector<std::string>& wrapper = {}) {
    std::vector<std::string> command = wrapper;
    command.insert(command.end(), options.runner.begin(), options.runner.end());
    command.insert(command.end(), words.begin(), words.end());
    return RunProgram(command, dir_.string(), output, options.timeout);
  }

  // Runs with standard output in a pipe and checks the whole outcome; also
  // that the run neither created nor removed anything in its directory.
  void Expect(const std::vector<std::string>& args, const std::string& out,
              int status) {
    const std::vector<std::string> before = Names(dir_);
    const Outcome outcome = Run(args);
    const std::string shown = args.empty() ? "(none)" : "\"" + args[0] + "\"";
    EXPECT_EQ(outcome.out, out) << "argument " << shown;
    EXPECT_EQ(outcome.err, "") << "argument " << shown;
    EXPECT_EQ(outcome.status, status) << "argument " << shown;
    EXPECT_EQ(Names(dir_), before) << "argument " << shown;
  }

  void MakeFile(const std::string& name, const std::string& content = "") {
    std::ofstream(dir_ / name, std::ios::binary) << content;
  }

  fs::path dir_;
};

// A pseudo-terminal stands in for a serial port: both are terminals.
class Terminal {
 public:
  Terminal() { openpty(&master_, &slave_, nullptr, nullptr, nullptr); }
  ~Terminal() {
    close(master_);
    close(slave_);
  }
  std::string SlavePath() const { return ptsname(master_); }
  int slave() const { return slave_; }

 private:
  int master_ = -1;
  int slave_ = -1;
};

TEST_F(EndToEnd, RefusesAnyCommandLineButOneNonZeroArgument) {
  const std::vector<std::vector<std::string>> command_lines = {
      {},      {"3", "4"}, {"3", ""},      {"0"},      {"00"},
      {"+0"},  {"-0"},     {"+"},          {"-"},      {"abc"},
      {"x3"},  {""},       {" \t "},       {"- 3"},    {"+-3"},
      {"--3"}, {"0x10"},   {"4294967296"}, {"%n%s%x"}, {std::string(125, '7')},
  };
  for (const auto& args : command_lines) {
    Expect(args, Refused(), 1);
  }
  // Windows passes at most 32767 characters of command line.
  Expect({std::string(options.windows ? 30000 : 64 * 1024, '7')}, Refused(), 1);
}

TEST_F(EndToEnd, ReportsANameThatDoesNotOpenWithoutCreatingIt) {
  for (const char* argument : {"3abc", "07", "-1", "4294967297", " 3"}) {
    Expect({argument}, Failed(), 2);
  }
}

// Any name but COM1 to COM9 is a path in the working directory, and a file
// there opens like a device would: the name shows exactly how the argument
// was taken.
TEST_F(EndToEnd, OpensTheNameComposedFromTheArgumentAsItStands) {
  const std::string longest(124, '7');
  for (const std::string& argument :
       {std::string("3abc"), std::string("07"), std::string("1 2"),
        std::string("3%s"), std::string("-1"), std::string(" 3"),
        std::string("10"), longest}) {
    const std::string name = "COM" + argument;
    MakeFile(name, "contenido");
    const auto stamp = fs::last_write_time(dir_ / name);
    Expect({argument}, Initialized(name), 0);
    EXPECT_EQ(fs::last_write_time(dir_ / name), stamp) << name;
    std::ifstream in(dir_ / name, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "contenido");
    fs::remove(dir_ / name);
  }
}

TEST_F(EndToEnd, AcceptsAnyBytesThatFitTheName) {
  std::vector<std::string> arguments = {"3%n%s%x", "3'"};
  // Windows names hold none of these, and Wine recodes bytes above 0x7F.
  if (!options.windows) {
    arguments.insert(arguments.end(), {"3\xA4\xA1\x80\xFF", "3\\", "3*",
                                       "3\"q\"", " \t\n\v\f\r3"});
  }
  for (const std::string& argument : arguments) {
    MakeFile("COM" + argument);
    Expect({argument}, Initialized("COM" + argument), 0);
    fs::remove(dir_ / ("COM" + argument));
  }
}

// Names that exist but are no device to open for reading and writing: each
// is refused at once, and nothing is made in their place.
TEST_F(EndToEnd, RefusesWhatIsNotAFileToOpenForReadingAndWriting) {
  if (options.windows) GTEST_SKIP() << "POSIX file kinds";
  fs::create_directory(dir_ / "COM3dir");
  fs::create_symlink("nowhere", dir_ / "COM3dangling");
  fs::create_symlink("COM3loop", dir_ / "COM3loop");
  for (const char* argument : {"3dir", "3dangling", "3loop", "3missing/COM3"}) {
    Expect({argument}, Failed(), 2);
  }
  EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
}

// A FIFO opens for reading and writing at once, reader or not.
TEST_F(EndToEnd, OpensAFifoWithoutWaitingForAReader) {
  if (options.windows) GTEST_SKIP() << "POSIX FIFOs";
  ASSERT_EQ(mkfifo((dir_ / "COM3fifo").c_str(), 0600), 0);
  Expect({"3fifo"}, Initialized("COM3fifo"), 0);
}

// Root opens anything, so the case is run as nobody when the tests are root.
TEST_F(EndToEnd, RefusesAFileItMayNotWrite) {
  if (options.windows) GTEST_SKIP() << "POSIX permissions";
  MakeFile("COM3ro");
  fs::permissions(dir_ / "COM3ro", fs::perms::owner_read |
                                       fs::perms::group_read |
                                       fs::perms::others_read);
  std::string program = options.program;
  std::vector<std::string> wrapper;
  if (geteuid() == 0) {
    // A copy in the open folder, since nobody may not reach the build tree.
    fs::permissions(dir_, fs::perms::all);
    program = (dir_ / "Quelvarn").string();
    fs::copy_file(options.program, program);
    wrapper = {"setpriv", "--reuid=nobody", "--regid=nogroup",
               "--clear-groups"};
  }
  const Outcome outcome = Start({program, "3ro"}, Output::kPipe, wrapper);
  EXPECT_EQ(outcome.out, Failed());
  EXPECT_EQ(outcome.status, 2);
}

TEST_F(EndToEnd, RunsSideBySideOnOneDeviceWithoutHanging) {
  if (options.windows) GTEST_SKIP() << "POSIX terminals";
  Terminal terminal;
  fs::create_symlink(terminal.SlavePath(), dir_ / "COM4t");
  std::vector<pid_t> runs;
  for (int i = 0; i < 8; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      const Outcome outcome = Run({"4t"});
      _exit(outcome.status == 0 || outcome.status == 2 ? 0 : 1);
    }
    runs.push_back(pid);
  }
  for (pid_t pid : runs) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

// The caller reads the exit status; a lost text must not change it, nor turn
// it into a death by signal.
TEST_F(EndToEnd, KeepsTheExitStatusWhenStandardOutputFails) {
  MakeFile("COM5x");
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {{{}, 1}, {{"9q"}, 2}, {{"5x"}, 0}};
  for (Output output : {Output::kClosed, Output::kFull, Output::kBrokenPipe}) {
    for (const Case& c : cases) {
      const Outcome outcome = Run(c.args, output);
      EXPECT_EQ(outcome.status, c.status) << static_cast<int>(output);
      EXPECT_EQ(outcome.err, "") << static_cast<int>(output);
    }
  }
}

TEST_F(EndToEnd, WritesEveryTextWholeToATerminal) {
  // Wine puts its own console between the program and a terminal, redrawing
  // each character with escape sequences.
  if (options.windows) GTEST_SKIP() << "Wine's console emulation";
  MakeFile("COM5x");
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const Case cases[] = {{{"5x"}, Initialized("COM5x"), 0},
                        {{"5y"}, Failed(), 2},
                        {{}, Refused(), 1}};
  for (const Case& c : cases) {
    const Outcome outcome = Run(c.args, Output::kTerminal);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.status, c.status);
  }
}

TEST_F(EndToEnd, OpensAFreeTerminalAndRefusesOneHeldByAnotherProgram) {
  if (options.windows) GTEST_SKIP() << "see the Windows cases";
  struct Case {
    const char* how;
    bool (*hold)(int fd);
    int status;
  };
  const Case cases[] = {
      {"free", [](int) { return true; }, 0},
      {"exclusive mode (TIOCEXCL)",
       [](int fd) { return ioctl(fd, TIOCEXCL) == 0; }, 2},
      {"exclusive flock",
       [](int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }, 2},
  };
  for (const Case& c : cases) {
    Terminal terminal;
    // Another program's own open file, so that its flock is not ours.
    const int other = open(terminal.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_TRUE(c.hold(other)) << c.how;
    fs::create_symlink(terminal.SlavePath(), dir_ / "COM4t");
    const std::string out = c.status == 0 ? Initialized("COM4t") : Failed();
    Expect({"4t"}, out, c.status);
    fs::remove(dir_ / "COM4t");
    close(other);
  }
}

TEST_F(EndToEnd, LeavesNoLockBehind) {
  if (options.windows) GTEST_SKIP() << "POSIX locking";
  Terminal terminal;
  fs::create_symlink(terminal.SlavePath(), dir_ / "COM4t");
  Expect({"4t"}, Initialized("COM4t"), 0);
  EXPECT_EQ(flock(terminal.slave(), LOCK_EX | LOCK_NB), 0);
  int exclusive = 1;
  ASSERT_EQ(ioctl(terminal.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST_F(EndToEnd, NamesCom1ToCom9TheFirstNineSerialPorts) {
  if (options.windows) GTEST_SKIP() << "Linux device names";
  // COM1 is /dev/ttyS0; whether it opens depends on the machine, so ask it.
  const int fd = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) close(fd);
  Expect({"1"}, fd >= 0 ? Initialized("COM1") : Failed(), fd >= 0 ? 0 : 2);
  // A file in the working directory named like a device is not the device.
  MakeFile("COM9");
  const bool ttyS8 = access("/dev/ttyS8", F_OK) == 0;
  if (!ttyS8) Expect({"9"}, Failed(), 2);
}

// Windows: a COM port that Wine maps to a terminal, a file held with no
// sharing by another program, and command lines split by the C runtime.

std::string WindowsPath(const std::string& path) {
  std::string windows = "Z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

TEST_F(EndToEnd, OpensACommunicationsPortThatWineMapsToATerminal) {
  if (!options.windows) GTEST_SKIP() << "Wine's device folder";
  Terminal terminal;
  const fs::path link = fs::path(options.dosdevices) / "com3";
  fs::remove(link);
  fs::create_symlink(terminal.SlavePath(), link);
  Expect({"3"}, Initialized("COM3"), 0);
  fs::remove(link);
  Expect({"3"}, Failed(), 2);
}

class Helper : public EndToEnd {
 protected:
  // Starts the program with `tail` as its raw command line, optionally while
  // the helper holds `held` open (sharing it: only the program's own share
  // mode can make its open fail).
  Outcome RunRaw(const std::string& tail, const std::string& held = "") {
    std::vector<std::string> words = {options.helper};
    if (!held.empty()) {
      words.insert(words.end(), {"--hold", held});
    }
    words.insert(words.end(), {WindowsPath(options.program), tail});
    return Start(words);
  }
};

TEST_F(Helper, RefusesANameThatAnotherProgramHolds) {
  if (!options.windows) GTEST_SKIP() << "Windows share modes";
  MakeFile("COM5x");
  const Outcome held = RunRaw("5x", "COM5x");
  EXPECT_EQ(held.out, Failed());
  EXPECT_EQ(held.status, 2);
  const Outcome free = RunRaw("5x");
  EXPECT_EQ(free.out, Initialized("COM5x"));
  EXPECT_EQ(free.status, 0);
}

TEST_F(Helper, TakesTheArgumentAsTheCRuntimeSplitsIt) {
  if (!options.windows) GTEST_SKIP() << "the Windows C runtime's splitting";
  MakeFile("COM1 2");
  MakeFile("3a");  // would match 3* if wildcards were expanded
  MakeFile("3b");
  fs::create_directory(dir_ / "COM3");
  MakeFile("COM3/x");
  struct Case {
    const char* tail;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {"1 2", Refused(), 1},
      {"1\t2", Refused(), 1},
      {"\"1 2\"", Initialized("COM1 2"), 0},
      {"1\" \"2", Initialized("COM1 2"), 0},
      {"\"1 2", Initialized("COM1 2"), 0},  // an open quote runs to the end
      {"3\\x", Initialized("COM3\\x"), 0},  // a backslash not before a quote
      {"\"\"", Refused(), 1},               // an empty argument
      {"3*", Failed(), 2},                  // wildcards are not expanded
  };
  for (const Case& c : cases) {
    const Outcome outcome = RunRaw(c.tail);
    EXPECT_EQ(outcome.out, c.out) << c.tail;
    EXPECT_EQ(outcome.err, "") << c.tail;
    EXPECT_EQ(outcome.status, c.status) << c.tail;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::size_t equals = arg.find('=');
    const std::string flag = arg.substr(0, equals);
    const std::string value =
        equals == std::string::npos ? "" : arg.substr(equals + 1);
    if (flag == "--program") {
      options.program = fs::absolute(value).string();
    } else if (flag == "--runner") {
      options.runner.push_back(value);
    } else if (flag == "--helper") {
      options.helper = fs::absolute(value).string();
    } else if (flag == "--dosdevices") {
      options.dosdevices = value;
    } else if (flag == "--timeout") {
      options.timeout = std::atoi(value.c_str());
    } else if (flag == "--windows") {
      options.windows = true;
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (options.program.empty()) {
    std::fprintf(stderr,
                 "usage: %s --program=PATH [--runner=CMD]... "
                 "[--windows --helper=EXE --dosdevices=DIR]\n",
                 argv[0]);
    return 2;
  }
  return RUN_ALL_TESTS();
}
