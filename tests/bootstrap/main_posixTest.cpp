// Skarvel as a program: fake install folders in a temp folder, a copy of the
// built bootstrap at their top, and recording shell scripts as the started
// programs. DISPLAY and WAYLAND_DISPLAY are never passed on unless a test
// wants the dialog, and then a stand-in zenity records it.

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BootstrapFixture.h"

namespace skarvel::test {
namespace {

const std::string kPrefix = "[Orvendal: Skarvel] ";
const std::string kUpdateMessage =
    "[Orvendal: Skarvel] An update could not be finished.\n\n"
    "A file was in use. Close Duskmere if it is still running, then try again.\n";

std::string missingMessage(const std::string& clientPath) {
  return kPrefix + "Skarvel is missing part of its installation.\n\nExpected to find:\n" + clientPath +
         "\n\nExtract the whole Skarvel folder from the download, keeping it intact.\n";
}

std::vector<std::string> standardTail(const std::string& install, const std::string& instance,
                                      const std::string& resources) {
  return {"--instance-root", instance, "--skarvel-settings", install + "/settings", "--resources", resources};
}

ino_t inodeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// ---- Argument vector, environment and exit status -----------------------------

class BootstrapStart : public BootstrapTest {
 protected:
  void SetUp() override {
    BootstrapTest::SetUp();
    makeLayout2Install();
  }
  std::string bin() const { return at("live/content/bin"); }
};

TEST_F(BootstrapStart, PassesItsArgumentsBeforeTheInstancePaths) {
  RunResult run = start({"--fullscreen", "two words", ""});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  std::vector<Record> starts = records();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program, bin() + "/SkarvelLauncher");
  EXPECT_EQ(starts[0].cwd, bin());
  std::vector<std::string> expected{"--fullscreen", "two words", ""};
  for (const std::string& arg : standardTail(install_, at("live"), at("live/content/resources")))
    expected.push_back(arg);
  EXPECT_EQ(starts[0].args, expected);
}

// The options SkarvelSync and SkarvelPublish answer are the started
// program's, never the bootstrap's: it has none of its own.
TEST_F(BootstrapStart, PassesOnTheOptionsOtherProgramsAnswer) {
  const std::vector<std::vector<std::string>> rows = {
      {"--help"}, {"--version"}, {"--json", "--check"}, {"--root", "/elsewhere", "--help"}};
  for (const std::vector<std::string>& args : rows) {
    SCOPED_TRACE(args.front());
    ::unlink(recordPath_.c_str());
    RunResult run = start(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    std::vector<Record> starts = records();
    ASSERT_EQ(starts.size(), 1u);
    std::vector<std::string> expected = args;
    for (const std::string& arg : standardTail(install_, at("live"), at("live/content/resources")))
      expected.push_back(arg);
    EXPECT_EQ(starts[0].args, expected);
  }
}

TEST_F(BootstrapStart, PreparesTheEnvironment) {
  struct Case {
    const char* name;
    Environment given;
    Environment seen;
  };
  const std::string lib = bin() + "/lib";
  const std::vector<Case> cases = {
      {"nothing set", {}, {{"LD_LIBRARY_PATH", lib}, {"SKARVEL_HOST_LD_LIBRARY_PATH", ""}, {"OSG_LIBRARY_PATH", bin()}}},
      {"paths set",
       {{"LD_LIBRARY_PATH", "/desk/lib"}, {"OSG_LIBRARY_PATH", "/osg"}, {"SKARVEL_TEST_KEEP", "kept"}},
       {{"LD_LIBRARY_PATH", lib + ":/desk/lib"},
        {"SKARVEL_HOST_LD_LIBRARY_PATH", "/desk/lib"},
        {"OSG_LIBRARY_PATH", bin() + ":/osg"},
        {"SKARVEL_TEST_KEEP", "kept"}}},
      {"empty paths",
       {{"LD_LIBRARY_PATH", ""}, {"OSG_LIBRARY_PATH", ""}},
       {{"LD_LIBRARY_PATH", lib}, {"SKARVEL_HOST_LD_LIBRARY_PATH", ""}, {"OSG_LIBRARY_PATH", bin()}}},
      {"host path kept",
       {{"LD_LIBRARY_PATH", "/a"}, {"SKARVEL_HOST_LD_LIBRARY_PATH", "/desk/lib"}},
       {{"LD_LIBRARY_PATH", lib + ":/a"}, {"SKARVEL_HOST_LD_LIBRARY_PATH", "/desk/lib"}, {"OSG_LIBRARY_PATH", bin()}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(recordPath_.c_str());
    EXPECT_EQ(start({}, c.given).status, 0);
    std::vector<Record> starts = records();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].env, c.seen);
  }
}

TEST_F(BootstrapStart, NestedStartKeepsTheFirstHostLibraryPath) {
  // A second install whose bootstrap the first one's launcher starts.
  std::string inner = root_ + "/inner";
  writeFileMode(inner + "/Skarvel", readFile(builtSkarvel()), 0755);
  writeFile(inner + "/settings/install-layout.txt", "2\n");
  writeFileMode(inner + "/live/content/bin/SkarvelLauncher", kRecorderScript, 0755);
  const std::string innerBin = inner + "/live/content/bin";
  for (const char* host : {"", "/desk/lib"}) {
    SCOPED_TRACE(host);
    unlink(recordPath_.c_str());
    Environment env{{"SKARVEL_TEST_NEST", inner + "/Skarvel"}, {"SKARVEL_TEST_STATUS", "5"}};
    if (*host != '\0') env["LD_LIBRARY_PATH"] = host;
    EXPECT_EQ(start({}, env).status, 5);
    std::vector<Record> starts = records();
    ASSERT_EQ(starts.size(), 2u);
    std::string outerPath = bin() + "/lib" + (*host != '\0' ? std::string(":") + host : "");
    EXPECT_EQ(starts[1].program, innerBin + "/SkarvelLauncher");
    EXPECT_EQ(starts[1].env.at("SKARVEL_HOST_LD_LIBRARY_PATH"), host);
    EXPECT_EQ(starts[1].env.at("LD_LIBRARY_PATH"), innerBin + "/lib:" + outerPath);
    EXPECT_EQ(starts[1].env.at("OSG_LIBRARY_PATH"), innerBin + ":" + bin());
  }
}

TEST_F(BootstrapStart, PassesOnTheExitStatus) {
  struct Case {
    Environment env;
    int status;
  };
  const std::vector<Case> cases = {
      {{}, 0},
      {{{"SKARVEL_TEST_STATUS", "3"}}, 3},
      {{{"SKARVEL_TEST_STATUS", "255"}}, 255},
      {{{"SKARVEL_TEST_SIGNAL", "KILL"}}, 1},
      {{{"SKARVEL_TEST_SIGNAL", "TERM"}}, 1},
  };
  for (const Case& c : cases) {
    RunResult run = start({}, c.env);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(BootstrapStart, PrefersTheLauncherOverTheClient) {
  addRecorder("live/content/bin/SkarvelClient");
  ASSERT_EQ(start().status, 0);
  ASSERT_EQ(unlink((bin() + "/SkarvelLauncher").c_str()), 0);
  ASSERT_EQ(start().status, 0);
  std::vector<Record> starts = records();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].program, bin() + "/SkarvelLauncher");
  EXPECT_EQ(starts[1].program, bin() + "/SkarvelClient");
}

TEST_F(BootstrapStart, NamesTheClientWhenNeitherProgramIsThere) {
  ASSERT_EQ(unlink((bin() + "/SkarvelLauncher").c_str()), 0);
  RunResult run = start();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, missingMessage(bin() + "/SkarvelClient"));
  EXPECT_TRUE(records().empty());
}

TEST_F(BootstrapStart, ReportsAProgramThatCannotBeExecuted) {
  struct Case {
    const char* content;
    mode_t mode;
    const char* reason;
  };
  // Plain text never gets execute bits, so even root may not run it; a file
  // with execute bits but no known format is refused by the kernel.
  const std::vector<Case> cases = {
      {"just text\n", 0644, "Permission denied"},
      {"\x01\x02\x03\x04 not a program\n", 0755, "Exec format error"},
  };
  const std::string launcher = bin() + "/SkarvelLauncher";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    writeFileMode(launcher, c.content, c.mode);
    RunResult run = start();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kPrefix + "Skarvel could not start " + launcher + " (" + c.reason + ").\n");
  }
}

TEST_F(BootstrapStart, StartsAnElfProgramThatLostItsExecuteBits) {
  const std::string launcher = bin() + "/SkarvelLauncher";
  writeFileMode(launcher, readFile("/bin/true"), 0644);
  RunResult run = start();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(modeOf(launcher), 0755);
}

TEST_F(BootstrapStart, GivesExecuteBitsOnlyToProgramsAtTheTop) {
  struct Case {
    const char* name;
    std::string content;
    int mode;
    int expected;
  };
  const std::string elf = std::string("\x7f" "ELF", 4) + "rest of the header";
  const std::vector<Case> cases = {
      {"tool", elf, 0644, 0755},
      {"group-tool", elf, 0640, 0750},
      {"private-tool", elf, 0600, 0700},
      {"setuid-tool", elf, 04644, 04755},
      {"ready-tool", elf, 0755, 0755},
      {"script.sh", "#!/bin/sh\n", 0604, 0705},
      {"bare-bang", "#!", 0644, 0755},
      {"notes.txt", "hello\n", 0644, 0644},
      {"short-elf", std::string("\x7f" "EL", 3), 0644, 0644},
      {"not-elf", std::string("\x7f" "XYZ", 4), 0644, 0644},
      {"one-byte", "#", 0644, 0644},
      {"lib/inner-tool", elf, 0644, 0644},
  };
  for (const Case& c : cases) writeFileMode(bin() + "/" + c.name, c.content, static_cast<mode_t>(c.mode));
  ASSERT_EQ(start().status, 0);
  for (const Case& c : cases) EXPECT_EQ(modeOf(bin() + "/" + c.name), c.expected) << c.name;
}

// ---- Error dialog ---------------------------------------------------------------

class BootstrapDialog : public BootstrapTest {
 protected:
  void SetUp() override {
    BootstrapTest::SetUp();
    // An install without programs: every start fails with the same message.
    makeDirs(at("settings"));
    writeFile(at("settings/install-layout.txt"), "2\n");
    fakeBin_ = root_ + "/fakebin";
    dialogRecord_ = root_ + "/dialog";
    writeFileMode(fakeBin_ + "/zenity",
                  "#!/bin/sh\n"
                  "printf '%s\\0' \"$@\" > \"" + dialogRecord_ + "\"\n"
                  "if env | grep -q '^LD_LIBRARY_PATH='; then printenv LD_LIBRARY_PATH; "
                  "else echo unset; fi > \"" + dialogRecord_ + ".lib\"\n",
                  0755);
  }
  RunResult startWith(Environment env) {
    env.emplace("PATH", fakeBin_ + ":/usr/bin:/bin");
    return start({}, env);
  }
  std::vector<std::string> dialogArgs() const {
    std::string text = readFile(dialogRecord_);
    std::vector<std::string> args;
    size_t begin = 0;
    for (size_t end; (end = text.find('\0', begin)) != std::string::npos; begin = end + 1)
      args.push_back(text.substr(begin, end - begin));
    return args;
  }
  std::string message() const {
    return "Skarvel is missing part of its installation.\n\nExpected to find:\n" +
           at("live/content/bin/SkarvelClient") +
           "\n\nExtract the whole Skarvel folder from the download, keeping it intact.";
  }

  std::string fakeBin_;
  std::string dialogRecord_;
};

TEST_F(BootstrapDialog, WithoutADisplayOnlyStandardError) {
  RunResult run = startWith({});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, kPrefix + message() + "\n");
  EXPECT_FALSE(exists(dialogRecord_));
}

TEST_F(BootstrapDialog, ShowsTheMessageWhenADisplayIsPresent) {
  for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    SCOPED_TRACE(variable);
    unlink(dialogRecord_.c_str());
    // An empty value still counts as a display.
    RunResult run = startWith({{variable, ""}});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kPrefix + message() + "\n");
    std::vector<std::string> expected{"--error",           "--no-markup", "--title",
                                      "Orvendal: Skarvel", "--text",      message()};
    EXPECT_EQ(dialogArgs(), expected);
  }
}

TEST_F(BootstrapDialog, RestoresTheDesktopLibraryPath) {
  struct Case {
    Environment env;
    const char* seen;
  };
  const std::vector<Case> cases = {
      {{{"LD_LIBRARY_PATH", "/game/lib"}}, "/game/lib\n"},
      {{{"LD_LIBRARY_PATH", "/game/lib"}, {"SKARVEL_HOST_LD_LIBRARY_PATH", "/desk/lib"}}, "/desk/lib\n"},
      {{{"LD_LIBRARY_PATH", "/game/lib"}, {"SKARVEL_HOST_LD_LIBRARY_PATH", ""}}, "unset\n"},
      {{{"SKARVEL_HOST_LD_LIBRARY_PATH", ""}}, "unset\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seen);
    Environment env = c.env;
    env["DISPLAY"] = ":0";
    EXPECT_EQ(startWith(env).status, 1);
    EXPECT_EQ(readFile(dialogRecord_ + ".lib"), c.seen);
  }
}

TEST_F(BootstrapDialog, AMissingDialogProgramLeavesTheStandardErrorLine) {
  RunResult run = start({}, {{"DISPLAY", ":0"}, {"PATH", root_ + "/nowhere"}});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, kPrefix + message() + "\n");
}

// ---- Finishing a staged update ---------------------------------------------------

class BootstrapJournal : public BootstrapTest {
 protected:
  void SetUp() override {
    BootstrapTest::SetUp();
    makeLayout2Install();
  }
  std::string staged(const std::string& name) const { return at("live/content/cache/staging/" + name); }
  std::string journal() const { return at("live/content/cache/update-journal.txt"); }
};

TEST_F(BootstrapJournal, MovesStagedFilesAndDeletesTheJournal) {
  writeFileMode(staged("a.bin"), "new a", 0750);
  writeFile(staged("sub/b.txt"), "new b");
  writeFile(staged("back\\slash"), "new c");
  writeFile(at("live/content/bin/a.bin"), "old a");
  writeFile(journal(),
            "# staged by the updater\n"
            "a.bin|content\\bin\\a.bin   \r\n"
            "sub/b.txt|content/resources/vfs/b.txt\r\n"
            "back\\slash|content\\bin\\c.bin\n"
            "no separator here\n"
            "\r\n"
            "gone.bin|content/bin/gone.bin");
  RunResult run = start();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readFile(at("live/content/bin/a.bin")), "new a");
  EXPECT_EQ(modeOf(at("live/content/bin/a.bin")), 0750);
  EXPECT_EQ(readFile(at("live/content/resources/vfs/b.txt")), "new b");
  EXPECT_EQ(readFile(at("live/content/bin/c.bin")), "new c");
  EXPECT_FALSE(exists(staged("a.bin")));
  EXPECT_FALSE(exists(at("live/content/bin/gone.bin")));
  EXPECT_FALSE(exists(journal()));
  EXPECT_EQ(records().size(), 1u);
}

TEST_F(BootstrapJournal, AFailedLineKeepsTheJournalForTheNextStart) {
  writeFile(staged("free.bin"), "free");
  writeFile(staged("locked.bin"), "locked");
  // The destination folder is missing: fails like a file in use.
  writeFile(journal(), "free.bin|content/bin/free.bin\nlocked.bin|content/later/locked.bin\n");
  RunResult first = start();
  EXPECT_EQ(first.status, 1);
  EXPECT_EQ(first.err, kUpdateMessage);
  EXPECT_TRUE(records().empty());
  EXPECT_EQ(readFile(at("live/content/bin/free.bin")), "free");
  EXPECT_TRUE(isFile(staged("locked.bin")));
  EXPECT_TRUE(isFile(journal()));

  // Only what is left moves the next time.
  writeFile(at("live/content/bin/free.bin"), "edited since");
  makeDirs(at("live/content/later"));
  RunResult second = start();
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(readFile(at("live/content/bin/free.bin")), "edited since");
  EXPECT_EQ(readFile(at("live/content/later/locked.bin")), "locked");
  EXPECT_FALSE(exists(journal()));
  EXPECT_EQ(records().size(), 1u);
}

TEST_F(BootstrapJournal, ReplayingTwiceChangesNothing) {
  const std::string text = "a.bin|content/bin/a.bin\n";
  writeFile(staged("a.bin"), "new a");
  writeFile(journal(), text);
  ASSERT_EQ(start().status, 0);
  writeFile(at("live/content/bin/a.bin"), "edited since");
  writeFile(journal(), text);
  RunResult again = start();
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(readFile(at("live/content/bin/a.bin")), "edited since");
  EXPECT_FALSE(exists(journal()));
}

TEST_F(BootstrapJournal, RefusesLinesThatLeaveTheirFoldersOrAimAtTheCache) {
  // The staging folder is five levels below the temp folder, the instance
  // three.
  writeFile(root_ + "/outside/secret.txt", "player's secret");
  makeDirs(root_ + "/autostart");
  writeFile(staged("evil.desktop"), "[Desktop Entry]");
  writeFile(staged("state.json"), "forged record");
  writeFile(staged("ok.bin"), "new ok");
  writeFile(at("live/content/cache/state.json"), "real record");
  const std::string firstRefused = "../../../../../outside/secret.txt|content/bin/secret.txt";
  writeFile(journal(), firstRefused + "\n"
                       "evil.desktop|../../autostart/evil.desktop\n"
                       "state.json|Content\\CACHE\\state.json\n"
                       "ok.bin|content/bin/ok.bin\n");
  RunResult run = start();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, kPrefix +
                         "An update could not be finished.\n\n"
                         "The update list names a file outside the folders an update may change:\n" +
                         firstRefused + "\n\nRun the update again. If this message comes back, reinstall Skarvel.\n");
  EXPECT_TRUE(records().empty());
  // The allowed line is carried out, the refused ones are kept untouched.
  EXPECT_EQ(readFile(at("live/content/bin/ok.bin")), "new ok");
  EXPECT_EQ(readFile(root_ + "/outside/secret.txt"), "player's secret");
  EXPECT_FALSE(exists(at("live/content/bin/secret.txt")));
  EXPECT_FALSE(exists(root_ + "/autostart/evil.desktop"));
  EXPECT_EQ(readFile(staged("evil.desktop")), "[Desktop Entry]");
  EXPECT_EQ(readFile(at("live/content/cache/state.json")), "real record");
  EXPECT_TRUE(isFile(journal()));
}

TEST_F(BootstrapJournal, AStagedFileThatIsNotAPlainFileFailsItsLine) {
  // Before, a folder counted as already moved (the update silently dropped)
  // and a link was moved as if it were the file.
  writeFile(root_ + "/outside/secret.txt", "player's secret");
  makeDirs(staged("folder.bin"));
  makeDirs(at("live/content/bin"));
  makeLink(root_ + "/outside/secret.txt", staged("link.bin"));
  writeFile(journal(), "folder.bin|content/bin/folder.bin\nlink.bin|content/bin/link.bin\n");
  RunResult run = start();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, kUpdateMessage);
  EXPECT_FALSE(exists(at("live/content/bin/folder.bin")));
  EXPECT_FALSE(exists(at("live/content/bin/link.bin")));
  EXPECT_TRUE(isLink(staged("link.bin")));
  EXPECT_TRUE(isFile(journal()));
}

TEST_F(BootstrapJournal, AJournalThatCannotBeReadIsLeftAlone) {
  makeDirs(journal());
  RunResult run = start();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(isDir(journal()));
}

// The staging folder on another file system (a link into /dev/shm), so that
// rename fails with EXDEV and the file is copied.
class BootstrapJournalAcrossDevices : public BootstrapJournal {
 protected:
  void SetUp() override {
    BootstrapJournal::SetUp();
    char pattern[] = "/dev/shm/skarvel-boot-XXXXXX";
    if (mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no /dev/shm to stage on another file system";
    other_ = pattern;
    struct stat there, here;
    if (stat(other_.c_str(), &there) != 0 || stat(root_.c_str(), &here) != 0 || there.st_dev == here.st_dev)
      GTEST_SKIP() << "/dev/shm is on the same file system as " << root_;
    makeDirs(at("live/content/cache"));
    makeLink(other_, at("live/content/cache/staging"));
  }
  void TearDown() override {
    std::error_code ignored;
    if (!other_.empty()) std::filesystem::remove_all(other_, ignored);
  }
  std::string other_;
};

TEST_F(BootstrapJournalAcrossDevices, CopiesWithThePermissionBits) {
  writeFileMode(staged("tool"), "new tool", 0751);
  writeFile(journal(), "tool|content/bin/tool\n");
  RunResult run = start();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readFile(at("live/content/bin/tool")), "new tool");
  EXPECT_EQ(modeOf(at("live/content/bin/tool")), 0751);
  EXPECT_FALSE(exists(at("live/content/bin/tool.part")));
  EXPECT_FALSE(exists(staged("tool")));
  EXPECT_FALSE(exists(journal()));
}

TEST_F(BootstrapJournalAcrossDevices, ACopyCutShortKeepsTheSource) {
  // Writes stop at 1 KiB, as on a full disk; the message still fits.
  const std::string tool = patterned(4096, 1);
  writeFile(staged("tool"), tool);
  writeFile(at("live/content/bin/tool"), "old tool");
  writeFile(journal(), "tool|content/bin/tool\n");
  fileSizeLimit_ = 1024;
  RunResult run = start();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, kUpdateMessage);
  EXPECT_EQ(readFile(at("live/content/bin/tool")), "old tool");
  EXPECT_FALSE(exists(at("live/content/bin/tool.part")));
  EXPECT_EQ(readFile(staged("tool")), tool);
  EXPECT_TRUE(isFile(journal()));

  fileSizeLimit_ = 0;
  RunResult retry = start();
  EXPECT_EQ(retry.status, 0);
  EXPECT_EQ(readFile(at("live/content/bin/tool")), tool);
  EXPECT_FALSE(exists(journal()));
}

TEST_F(BootstrapJournalAcrossDevices, ALinkPlantedAtThePartFileIsNeverWrittenThrough) {
  const std::string outside = root_ + "/outside.txt";
  for (bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    writeFile(outside, "player's file");
    writeFile(staged("tool"), "new tool");
    writeFile(at("live/content/bin/tool"), "old tool");
    std::string part = at("live/content/bin/tool.part");
    ASSERT_EQ(hard ? link(outside.c_str(), part.c_str()) : symlink(outside.c_str(), part.c_str()), 0);
    writeFile(journal(), "tool|content/bin/tool\n");
    RunResult run = start();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(readFile(outside), "player's file");
    ASSERT_FALSE(isLink(at("live/content/bin/tool")));
    EXPECT_EQ(readFile(at("live/content/bin/tool")), "new tool");
    EXPECT_FALSE(exists(part));
  }
}

// ---- Replacing the bootstrap itself ---------------------------------------------------

class BootstrapStub : public BootstrapTest {
 protected:
  void SetUp() override {
    BootstrapTest::SetUp();
    makeLayout2Install();
    stubRecord_ = root_ + "/stub-record";
  }
  // A stand-in new bootstrap: records its path and arguments, exits with 42.
  std::string recordingStub() const {
    return "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"" + stubRecord_ + "\"\nexit 42\n";
  }
  std::string stubRecord_;
};

TEST_F(BootstrapStub, ReplacesItselfAndRestartsWithTheSameArguments) {
  for (const char* where : {"live/content/bin/stub/Skarvel", "content/bin/stub/Skarvel"}) {
    SCOPED_TRACE(where);
    std::string running = readFile(at("Skarvel"));
    writeFileMode(at(where), recordingStub(), 0644);
    RunResult run = start({"--one", "two words"});
    EXPECT_EQ(run.status, 42);
    EXPECT_EQ(readFile(stubRecord_), at("Skarvel") + "\n--one\ntwo words\n");
    EXPECT_EQ(readFile(at("Skarvel")), recordingStub());
    EXPECT_EQ(modeOf(at("Skarvel")), 0755);
    EXPECT_EQ(readFile(at("Skarvel.old")), running);
    EXPECT_FALSE(exists(at("Skarvel.new")));
    EXPECT_TRUE(isFile(at(where)));
    EXPECT_TRUE(records().empty());
    // Put the real bootstrap back for the second location.
    writeFileMode(at("Skarvel"), running, 0755);
    unlink(at("Skarvel.old").c_str());
    unlink(at(where).c_str());
  }
}

TEST_F(BootstrapStub, TheNewBootstrapRunsAndCleansUp) {
  // A real bootstrap that differs in its bytes: trailing data does not stop
  // an ELF file from running.
  const std::string newer = readFile(at("Skarvel")) + "newer build";
  writeFileMode(at("live/content/bin/stub/Skarvel"), newer, 0644);
  RunResult run = start({"--x"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readFile(at("Skarvel")), newer);
  // The new bootstrap removed the old one it replaced.
  EXPECT_FALSE(exists(at("Skarvel.old")));
  std::vector<Record> starts = records();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].args.at(0), "--x");
}

TEST_F(BootstrapStub, AnIdenticalStubChangesNothing) {
  writeFileMode(at("live/content/bin/stub/Skarvel"), readFile(at("Skarvel")), 0644);
  writeFile(at("Skarvel.old"), "left from an earlier replacement");
  ino_t before = inodeOf(at("Skarvel"));
  RunResult run = start();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(inodeOf(at("Skarvel")), before);
  EXPECT_FALSE(exists(at("Skarvel.old")));
  EXPECT_FALSE(exists(at("Skarvel.new")));
  EXPECT_EQ(records().size(), 1u);
}

// ---- Layout migration ------------------------------------------------------------

class BootstrapLayout : public BootstrapTest {};

TEST_F(BootstrapLayout, MovesAnOldInstallIntoTheLiveFolder) {
  addRecorder("content/bin/SkarvelLauncher");
  makeDirs(at("content/resources/vfs"));
  writeFile(at("logs/last.log"), "log");
  writeFile(at("settings/corvane.cfg"), "cfg");
  writeFile(at("settings/launcher-settings.txt"), "server=live\n");
  makeDirs(at("dev"));
  RunResult run = start();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(isFile(at("live/content/bin/SkarvelLauncher")));
  EXPECT_EQ(readFile(at("live/logs/last.log")), "log");
  EXPECT_EQ(readFile(at("live/settings/corvane.cfg")), "cfg");
  EXPECT_FALSE(exists(at("content")));
  EXPECT_FALSE(exists(at("logs")));
  EXPECT_FALSE(exists(at("settings/corvane.cfg")));
  EXPECT_EQ(readFile(at("settings/launcher-settings.txt")), "server=live\n");
  EXPECT_EQ(readFile(at("settings/install-layout.txt")), "2\n");
  EXPECT_TRUE(isDir(at("dev/settings")));
  EXPECT_TRUE(isDir(at("dev/logs")));
  std::vector<Record> starts = records();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program, at("live/content/bin/SkarvelLauncher"));
  EXPECT_EQ(starts[0].args, standardTail(install_, at("live"), at("live/content/resources")));
}

TEST_F(BootstrapLayout, AnIncompleteMigrationIsRetried) {
  addRecorder("content/bin/SkarvelLauncher");
  writeFile(at("settings/corvane.cfg"), "cfg");
  makeDirs(at("live/settings/corvane.cfg"));  // in the way of the move
  RunResult first = start();
  EXPECT_EQ(first.status, 0);
  EXPECT_FALSE(exists(at("settings/install-layout.txt")));
  EXPECT_TRUE(isFile(at("live/content/bin/SkarvelLauncher")));
  EXPECT_TRUE(isDir(at("live/logs")));

  ASSERT_EQ(rmdir(at("live/settings/corvane.cfg").c_str()), 0);
  EXPECT_EQ(start().status, 0);
  EXPECT_EQ(readFile(at("live/settings/corvane.cfg")), "cfg");
  EXPECT_EQ(readFile(at("settings/install-layout.txt")), "2\n");
  std::vector<Record> starts = records();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].program, at("live/content/bin/SkarvelLauncher"));
}

TEST_F(BootstrapLayout, ReadsTheLayoutVersion) {
  struct Case {
    const char* text;
    bool migrates;
  };
  // 0 is the old layout like 1; anything above 1 is the channel layout.
  const std::vector<Case> cases = {{"0\n", true}, {"1", true}, {"  3\n", false}, {"x2", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::filesystem::remove_all(at("live"));
    std::filesystem::remove_all(at("content"));
    addRecorder("content/bin/SkarvelLauncher");
    writeFile(at("settings/install-layout.txt"), c.text);
    start();
    EXPECT_EQ(isDir(at("live/content")), c.migrates);
    EXPECT_EQ(readFile(at("settings/install-layout.txt")), c.migrates ? "2\n" : c.text);
  }
}

TEST_F(BootstrapLayout, WithoutContentTheOldLayoutStays) {
  RunResult run = start();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, missingMessage(at("content/bin/SkarvelClient")));
  EXPECT_FALSE(exists(at("live")));
  EXPECT_FALSE(exists(at("settings/install-layout.txt")));
}

TEST_F(BootstrapLayout, TheOldLayoutRunsTheTopProgramsForBothChannels) {
  struct Case {
    const char* settings;
    bool devResources;
    const char* instance;
    const char* resources;
  };
  const std::vector<Case> cases = {
      {"server=live\n", false, "", "/content/resources"},
      {"server=dev\n", false, "/dev", "/content/resources"},
      {"server=dev\n", true, "/dev", "/dev/content/resources"},
  };
  // "live" is a file, so the content cannot move and layout 1 stays.
  writeFile(at("live"), "not a folder");
  addRecorder("content/bin/SkarvelLauncher");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.settings) + (c.devResources ? " with" : " without") + " dev resources");
    unlink(recordPath_.c_str());
    writeFile(at("settings/launcher-settings.txt"), c.settings);
    if (c.devResources) makeDirs(at("dev/content/resources/vfs"));
    EXPECT_EQ(start().status, 0);
    std::vector<Record> starts = records();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].program, at("content/bin/SkarvelLauncher"));
    EXPECT_EQ(starts[0].args, standardTail(install_, install_ + c.instance, install_ + c.resources));
  }
}

// ---- Completing a channel -----------------------------------------------------

class BootstrapChannel : public BootstrapTest {
 protected:
  void SetUp() override {
    BootstrapTest::SetUp();
    makeLayout2Install();
    writeFile(at("settings/launcher-settings.txt"), "server=dev\n");
  }
};

TEST_F(BootstrapChannel, FillsTheDevChannelFromLiveWithoutOverwriting) {
  writeFileMode(at("live/content/bin/lib/libgame.so"), "library", 0750);
  writeFile(at("live/content/bin/.hidden"), "hidden");
  writeFile(at("live/content/resources/vfs/data.pak"), "data");
  writeFile(at("dev/content/bin/defaults.bin"), "dev's own");
  RunResult run = start();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readFile(at("dev/content/bin/defaults.bin")), "dev's own");
  EXPECT_EQ(readFile(at("dev/content/bin/SkarvelLauncher")), kRecorderScript);
  EXPECT_EQ(modeOf(at("dev/content/bin/SkarvelLauncher")), 0755);
  EXPECT_EQ(readFile(at("dev/content/bin/lib/libgame.so")), "library");
  EXPECT_EQ(modeOf(at("dev/content/bin/lib/libgame.so")), 0750);
  EXPECT_EQ(readFile(at("dev/content/bin/.hidden")), "hidden");
  EXPECT_EQ(readFile(at("dev/content/resources/vfs/data.pak")), "data");
  EXPECT_FALSE(exists(at("dev/content/bin/SkarvelLauncher.part")));
  EXPECT_TRUE(isDir(at("dev/logs")));
  EXPECT_TRUE(isDir(at("dev/settings")));
  std::vector<Record> starts = records();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program, at("dev/content/bin/SkarvelLauncher"));
  EXPECT_EQ(starts[0].args, standardTail(install_, at("dev"), at("dev/content/resources")));
}

TEST_F(BootstrapChannel, StopsAtLinksThatLeadBackUp) {
  makeLink("../..", at("live/content/bin/lib/up"));  // to live/content
  makeLink(".", at("live/content/resources/vfs/self"));
  makeDirs(root_ + "/outside/deep");
  makeLink(root_ + "/outside", root_ + "/outside/deep/again");
  makeLink(root_ + "/outside", at("live/content/bin/outside"));
  RunResult run = start();
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(isFile(at("dev/content/bin/SkarvelLauncher")));
  EXPECT_TRUE(isDir(at("dev/content/resources/vfs")));
  // Followed once into the parent, never back into a folder being copied.
  EXPECT_TRUE(isDir(at("dev/content/bin/lib/up/resources")));
  EXPECT_FALSE(exists(at("dev/content/bin/lib/up/bin")));
  EXPECT_TRUE(isDir(at("dev/content/bin/outside/deep")));
  EXPECT_FALSE(exists(at("dev/content/bin/outside/deep/again")));
}

TEST_F(BootstrapChannel, ACopyCutShortIsNotLeftInPlace) {
  // Writes stop at 1 KiB: the launcher fits, the defaults do not.
  const std::string defaults = patterned(4096, 2);
  writeFile(at("live/content/bin/defaults.bin"), defaults);
  fileSizeLimit_ = 1024;
  EXPECT_EQ(start().status, 0);
  ASSERT_FALSE(exists(at("dev/content/bin/defaults.bin")));
  EXPECT_FALSE(exists(at("dev/content/bin/defaults.bin.part")));
  EXPECT_TRUE(isFile(at("dev/content/bin/SkarvelLauncher")));
  // Still missing, so the next start copies it.
  fileSizeLimit_ = 0;
  EXPECT_EQ(start().status, 0);
  EXPECT_EQ(readFile(at("dev/content/bin/defaults.bin")), defaults);
}

TEST_F(BootstrapChannel, ACompleteChannelIsLeftAlone) {
  addChannel("dev");
  writeFile(at("live/content/bin/extra.bin"), "only in live");
  EXPECT_EQ(start().status, 0);
  EXPECT_FALSE(exists(at("dev/content/bin/extra.bin")));
}

// ---- Temporaries and planted links -----------------------------------------------

// A link planted at a temporary's name, to a file of the player's outside
// the install: a symbolic link, or a hard link such as an interrupted copy
// of another install may leave. The bootstrap must write a new file, never
// into the one linked.
class BootstrapPlantedLink : public BootstrapTest {
 protected:
  void SetUp() override {
    BootstrapTest::SetUp();
    outside_ = root_ + "/outside.txt";
  }
  void plant(bool hard, const std::string& temporary) {
    writeFile(outside_, "player's file");
    makeDirs(temporary.substr(0, temporary.rfind('/')));
    int made = hard ? link(outside_.c_str(), temporary.c_str()) : symlink(outside_.c_str(), temporary.c_str());
    ASSERT_EQ(made, 0) << temporary;
  }
  void expectNotWrittenThrough(const std::string& temporary, const std::string& final) {
    EXPECT_EQ(readFile(outside_), "player's file");
    EXPECT_FALSE(exists(temporary));
    EXPECT_FALSE(isLink(final));
  }
  std::string outside_;
};

TEST_F(BootstrapPlantedLink, AtTheNewBootstrap) {
  makeLayout2Install();
  const std::string running = readFile(at("Skarvel"));
  const std::string stub = "#!/bin/sh\nexit 42\n";
  writeFileMode(at("live/content/bin/stub/Skarvel"), stub, 0644);
  for (bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    plant(hard, at("Skarvel.new"));
    EXPECT_EQ(start().status, 42);
    expectNotWrittenThrough(at("Skarvel.new"), at("Skarvel"));
    EXPECT_EQ(readFile(at("Skarvel")), stub);
    writeFileMode(at("Skarvel"), running, 0755);
  }
}

TEST_F(BootstrapPlantedLink, AtASeedCopy) {
  makeLayout2Install();
  writeFile(at("settings/launcher-settings.txt"), "server=dev\n");
  const std::string part = at("dev/content/bin/defaults.bin.part");
  for (bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    std::filesystem::remove_all(at("dev"));
    plant(hard, part);
    EXPECT_EQ(start().status, 0);
    expectNotWrittenThrough(part, at("dev/content/bin/defaults.bin"));
    EXPECT_EQ(readFile(at("dev/content/bin/defaults.bin")), "live defaults");
  }
}

TEST_F(BootstrapPlantedLink, AtTheLayoutFile) {
  const std::string part = at("settings/install-layout.txt.part");
  for (bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    std::filesystem::remove_all(at("live"));
    unlink(at("settings/install-layout.txt").c_str());
    addRecorder("content/bin/SkarvelLauncher");
    plant(hard, part);
    EXPECT_EQ(start().status, 0);
    expectNotWrittenThrough(part, at("settings/install-layout.txt"));
    EXPECT_EQ(readFile(at("settings/install-layout.txt")), "2\n");
  }
}

// ---- The binary itself ----------------------------------------------------------

TEST(SkarvelBinary, NeedsOnlyTheCLibrary) {
#if SKARVEL_BOOTSTRAP_STATIC
  FILE* pipe = popen(("ldd '" + builtSkarvel() + "' 2>&1").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[512];
  while (fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  ASSERT_EQ(pclose(pipe), 0) << output;
  std::vector<std::string> needed;
  size_t begin = 0;
  for (size_t end; (end = output.find('\n', begin)) != std::string::npos; begin = end + 1) {
    std::string line = output.substr(begin, end - begin);
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    std::string name = line.substr(start, line.find(' ', start) - start);
    name = name.substr(name.rfind('/') + 1);
    bool cLibrary = name == "linux-vdso.so.1" || name == "libc.so.6" || name.rfind("ld-linux", 0) == 0;
    if (!cLibrary) needed.push_back(name);
  }
  EXPECT_TRUE(needed.empty()) << output;
#else
  GTEST_SKIP() << "sanitizer builds link the C++ library dynamically";
#endif
}

}  // namespace
}  // namespace skarvel::test
