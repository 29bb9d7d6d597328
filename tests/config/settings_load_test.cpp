#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "config/settings.h"
#include "config_fixture.h"
#include "foundation/tempdir.h"

namespace {

using ConfigLoadTest = ConfigTest;

TEST_F(ConfigLoadTest, MinimalFileGivesTheDefaults) {
    TZELSettingsStore store;
    auto s = LoadText(store, Minimal());
    EXPECT_EQ(s->port, 5050);
    EXPECT_EQ(s->password, "secret");
    EXPECT_EQ(s->timeout, 4000);
    EXPECT_EQ(s->delayforscripts, 90000);
    EXPECT_EQ(s->logsuccess, 0);
    EXPECT_EQ(s->logfails, 1);
    EXPECT_EQ(s->oklogfile, "log1.txt");
    EXPECT_EQ(s->badlogfile, "log2.txt");
    EXPECT_EQ(s->filteractive, 0);
    EXPECT_EQ(s->filtermarks, "1");
    EXPECT_EQ(s->filterlist, "127.0.0.1");
    EXPECT_EQ(s->effectivefilterlist, "\r\n127.0.0.1\r\n");
    EXPECT_EQ(s->allowupdates, 1);
    EXPECT_EQ(s->allowmanage, 1);
    EXPECT_EQ(s->updateaddr, "127.0.0.1");
    EXPECT_EQ(s->manageaddr, "127.0.0.1");
    EXPECT_EQ(s->comment, "");
    EXPECT_EQ(s->pidfile, "");
    EXPECT_EQ(s->host, "");
    EXPECT_EQ(s->tmpdir, dir_.c_str());
    EXPECT_EQ(GetTempDirectory(), dir_.c_str());
    for (const TZELSettingsKey& k : kSettingsKeys)
        if (k.isSwitch) {
            EXPECT_EQ(s.get()->*k.number, k.numberDefault) << k.remote;
        }
    EXPECT_EQ(s->tcp, 1);
    EXPECT_EQ(s->service, 0);
    EXPECT_EQ(s->nteventlog, 0);
    EXPECT_EQ(s->perfcounter, 0);
    EXPECT_EQ(s->snmp, 1);
    EXPECT_EQ(s->executeaction + s->tcpudpaction + s->syslogaction, 0);
}

TEST_F(ConfigLoadTest, KeysIgnoreCaseCommentsAndSpacing) {
    TZELSettingsStore store;
    auto s = LoadText(store,
                      "#port=1\n"
                      "; port=1\n"
                      "PORT=7000\n"
                      "a line without an equals sign\n"
                      "  Password\t=\t pw with = sign \t\r\n"
                      "Comment = first\n"
                      "COMMENT=  last  \r\n"
                      "NoSuchKey = 1\n"
                      "zelpath=" + agent_ + "\n");
    EXPECT_EQ(s->port, 7000);
    EXPECT_EQ(s->password, "pw with = sign");
    EXPECT_EQ(s->comment, "last");
}

TEST_F(ConfigLoadTest, FlagsAndIntegers) {
    struct Case {
        const char* value;
        int flag;     // logsuccess
        int integer;  // delayforscripts
    } cases[] = {
        {"1", 1, 1},       {"1yes", 1, 1},   {"0", 0, 0},       {"true", 0, 0},
        {"yes", 0, 0},     {"", 0, 0},       {"42abc", 0, 42},  {"-5", 0, -5},
        {"abc", 0, 0},     {"10 20", 1, 10}, {"+7", 0, 7},
    };
    for (const Case& c : cases) {
        TZELSettingsStore store;
        auto s = LoadText(store, Minimal() + "logsuccess=" + c.value + "\ndelayforscripts=" + c.value + "\n");
        EXPECT_EQ(s->logsuccess, c.flag) << "value '" << c.value << "'";
        EXPECT_EQ(s->delayforscripts, c.integer) << "value '" << c.value << "'";
    }
}

TEST_F(ConfigLoadTest, FilterListAndMarks) {
    struct Case {
        const char* lines;
        const char* list;
        const char* effective;
        const char* warning;
    } cases[] = {
        {"filterlist=10.0.0.1   10.0.0.2\nfiltermarks=01\n", "10.0.0.1\r\n10.0.0.2", "\r\n10.0.0.2\r\n", ""},
        {"filterlist=  10.0.0.1 10.0.0.2  \nfiltermarks=11\n", "10.0.0.1\r\n10.0.0.2",
         "\r\n10.0.0.1\r\n10.0.0.2\r\n", ""},
        {"filterlist=a b c\nfiltermarks=1\n", "a\r\nb\r\nc", "\r\na\r\n", ""},
        {"filterlist=a%0Ab\nfiltermarks=1x1\n", "a\r\nb", "\r\na\r\n", "FilterMarks has less items than FilterList"},
        {"filterlist=a b\nfiltermarks=111\n", "a\r\nb", "\r\na\r\nb\r\n", "FilterMarks has less items than FilterList"},
        {"filterlist=\nfiltermarks=\n", "", "\r\n", ""},
    };
    for (const Case& c : cases) {
        TZELSettingsStore store;
        ASSERT_TRUE(WriteTextFile(cfg_, Minimal() + c.lines));
        String err;
        EXPECT_TRUE(Load(store, err)) << c.lines;
        EXPECT_EQ(err, c.warning) << c.lines;
        auto s = store.Get();
        EXPECT_EQ(s->filterlist, c.list) << c.lines;
        EXPECT_EQ(s->effectivefilterlist, c.effective) << c.lines;
    }
}

// Thousands of entries: every second one in force, in list order
// (bench/settings_bench measures a long list).
TEST_F(ConfigLoadTest, LongFilterListKeepsEveryMarkedEntry) {
    std::string list, marks, effective = "\r\n";
    for (int i = 0; i < 5000; ++i) {
        std::string entry = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        list += entry + " ";
        marks += i % 2 ? '1' : '0';
        if (i % 2) effective += entry + "\r\n";
    }
    TZELSettingsStore store;
    auto s = LoadText(store, Minimal() + "filterlist=" + list + "\nfiltermarks=" + marks + "\n");
    EXPECT_EQ(s->effectivefilterlist.Std(), effective);
}

TEST_F(ConfigLoadTest, StartUpChecks) {
    const std::string pw = "password=pw\n";
    const std::string port = "port=1\n";
    const std::string path = "zelpath=" + agent_ + "\n";
    struct Case {
        std::string content;
        std::string err;
    } cases[] = {
        {pw + path, "  TCP post is not specified!\n"},
        {port + "port=0\n" + pw + path, ""},
        {"port=0\n" + pw + path, "  TCP post is not specified!\n"},
        {port + path, "  Password is not specified!\n"},
        {port + pw, "  Full path to the agent is not specified!\n"},
        {port + pw + "zelpath=zel\n", "  Full path to the agent is not specified!\n"},
        {port + pw + "zelpath=" + dir_ + "/missing\n", "  Invalid path to the agent!\n"},
        {port + pw + "zelpath=" + dir_ + "\n", "  Invalid path to the agent!\n"},
        {"filtermarks=11\n",
         "FilterMarks has less items than FilterList  TCP post is not specified!\n"
         "  Password is not specified!\n  Full path to the agent is not specified!\n"},
    };
    for (const Case& c : cases) {
        TZELSettingsStore store;
        ASSERT_TRUE(WriteTextFile(cfg_, c.content));
        String err;
        EXPECT_EQ(Load(store, err), c.err.empty()) << c.content;
        EXPECT_EQ(err, c.err.c_str()) << c.content;
    }
}

TEST_F(ConfigLoadTest, MissingFileNames) {
    TZELSettingsStore store;
    String err;
    EXPECT_FALSE(store.LoadOptions(err));
    EXPECT_EQ(err, "Configuration file is not specified");

    EXPECT_FALSE(Load(store, err));
    EXPECT_EQ(err, ("Cannot open configuration file '" + cfg_ + "'").c_str());

    ::mkdir(cfg_.c_str(), 0700);  // a directory cannot be read as a file
    EXPECT_FALSE(Load(store, err));
    EXPECT_EQ(err, ("Cannot open configuration file '" + cfg_ + "'").c_str());
}

TEST_F(ConfigLoadTest, PortFromTheCommandLineAndInUseWins) {
    TZELSettingsStore store;
    store.Modify([](TZELSettings& s) { s.port = 1055; });
    EXPECT_EQ(LoadText(store, Minimal())->port, 1055);

    TZELSettingsStore other;
    EXPECT_EQ(LoadText(other, Minimal())->port, 5050);
    // A reload keeps the port in use.
    EXPECT_EQ(LoadText(other, Minimal() + "port=6000\n")->port, 5050);
    // Within one file the first usable port counts.
    TZELSettingsStore third;
    EXPECT_EQ(LoadText(third, "port=x\n" + Minimal() + "port=6000\n")->port, 5050);
}

TEST_F(ConfigLoadTest, ReloadKeepsKeptFieldsAndResetsTheOthers) {
    TZELSettingsStore store;
    store.Modify([](TZELSettings& s) {
        s.interactive = 1;
        s.verbose = 1;
        s.debugverbose = 1;
    });
    LoadText(store, Minimal() +
                        "host=10.1.1.1\ntimeout=100\nverboselogfile=v.log\ncomment=c\nlogsuccess=1\nunc=0\n"
                        "cpuusagescript=/bin/cpu\nproclistscript=/bin/pl\nproccntscript=/bin/pc\n"
                        "tmpdir=" + dir_ + "\npidfile=/run/zel.pid\ndelayforscripts=5\noklogfile=ok\nuser=zel\n");
    EXPECT_EQ(store.Get()->user, "zel");
    store.Modify([](TZELSettings& s) { s.service = 1; });

    unsetenv("TMPDIR");  // the kept tmpdir must not come from the environment
    auto s = LoadText(store, Minimal());
    EXPECT_EQ(s->host, "10.1.1.1");
    EXPECT_EQ(s->timeout, 100);
    EXPECT_EQ(s->verboselogfile, "v.log");
    EXPECT_EQ(s->cpuusagescript, "/bin/cpu");
    EXPECT_EQ(s->proclistscript, "/bin/pl");
    EXPECT_EQ(s->proccntscript, "/bin/pc");
    EXPECT_EQ(s->tmpdir, dir_.c_str());
    EXPECT_EQ(s->comment, "");
    EXPECT_EQ(s->logsuccess, 0);
    EXPECT_EQ(s->unc, 1);
    EXPECT_EQ(s->service, 0);
    EXPECT_EQ(s->pidfile, "");
    EXPECT_EQ(s->user, "");
    EXPECT_EQ(s->delayforscripts, 90000);
    EXPECT_EQ(s->oklogfile, "log1.txt");
    EXPECT_EQ(s->interactive, 1);
    EXPECT_EQ(s->verbose, 1);
    EXPECT_EQ(s->debugverbose, 1);
    EXPECT_EQ(s->cfgfile, cfg_.c_str());
}

TEST_F(ConfigLoadTest, FailedReloadLeavesTheSettingsInForce) {
    TZELSettingsStore store;
    auto before = LoadText(store, Minimal() + "comment=before\nfilteractive=1\n");
    ASSERT_TRUE(WriteTextFile(cfg_, "port=5050\ncomment=after\nzelpath=" + agent_ + "\n"));  // no password
    String err;
    EXPECT_FALSE(Load(store, err));
    EXPECT_EQ(err, "  Password is not specified!\n");
    auto after = store.Get();
    EXPECT_EQ(after->password, "secret");
    EXPECT_EQ(after->comment, "before");
    EXPECT_EQ(after->filteractive, 1);
    EXPECT_EQ(GetTempDirectory(), dir_.c_str());
}

TEST_F(ConfigLoadTest, ScriptsLiveNextToTheAgent) {
    TZELSettingsStore store;
    auto s = LoadText(store, Minimal() + "cpuusagescript=cpu.sh\nproclistscript=/usr/bin/pl\n");
    EXPECT_EQ(s->cpuusagescript, (dir_ + "//cpu.sh").c_str());
    EXPECT_EQ(s->proclistscript, "/usr/bin/pl");
    EXPECT_EQ(s->proccntscript, "");  // empty stays empty: no script
    // Already resolved names are not prefixed again on a reload.
    EXPECT_EQ(LoadText(store, Minimal())->cpuusagescript, (dir_ + "//cpu.sh").c_str());
}

TEST_F(ConfigLoadTest, TemporaryDirectory) {
    const std::string other = dir_ + "/t";
    ::mkdir(other.c_str(), 0700);
    struct Case {
        std::string line;   // tmpdir line of the file
        std::string tmpdirEnv;  // "" = unset
        std::string tmpEnv;     // "" = unset
        std::string expect;
    } cases[] = {
        {"tmpdir=" + other + "/\n", "", "", other},
        {"tmpdir=" + dir_ + "/missing\n", dir_, other, dir_},
        {"", "/nonexistent-zel", other, other},
        {"", "", other + "/", other},
        {"", "", "", "."},
        {"tmpdir=/\n", "", "", "/"},
    };
    for (const Case& c : cases) {
        if (!c.tmpdirEnv.empty()) setenv("TMPDIR", c.tmpdirEnv.c_str(), 1); else unsetenv("TMPDIR");
        if (!c.tmpEnv.empty()) setenv("TMP", c.tmpEnv.c_str(), 1); else unsetenv("TMP");
        TZELSettingsStore store;
        auto s = LoadText(store, Minimal() + c.line);
        EXPECT_EQ(s->tmpdir, c.expect.c_str()) << c.line;
        EXPECT_EQ(GetTempDirectory(), c.expect.c_str()) << c.line;
    }
}

TEST_F(ConfigLoadTest, DerivedTempDirDoesNotTouchTheEnvironment) {
    unsetenv("TMPDIR");
    TZELSettingsStore store;
    EXPECT_EQ(LoadText(store, Minimal())->tmpdir, ".");
    EXPECT_EQ(getenv("TMPDIR"), nullptr);
}

TEST_F(ConfigLoadTest, ApplyTempDirToEnvironmentUsesTheGlobalSettings) {
    ZELSettings.Modify([&](TZELSettings& s) { s.cfgfile = cfg_.c_str(); });
    ASSERT_TRUE(WriteTextFile(cfg_, Minimal() + "tmpdir=" + dir_ + "/\n"));
    unsetenv("TMPDIR");
    String err;
    ASSERT_TRUE(ZELSettings.LoadOptions(err)) << err.Data();
    ApplyTempDirToEnvironment();
    ASSERT_NE(getenv("TMPDIR"), nullptr);
    EXPECT_EQ(std::string(getenv("TMPDIR")), dir_);
}

TEST_F(ConfigLoadTest, LongLinesAreReadWhole) {
    const std::string comment(5000, 'c');
    std::string list, expect;
    for (int i = 0; i < 300; ++i) {
        std::string entry = "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        list += entry + " ";
        expect += (i ? "\r\n" : "") + entry;
    }
    TZELSettingsStore store;
    auto s = LoadText(store, Minimal() + "comment=" + comment + "\nfilterlist=" + list + "\n# " +
                                 std::string(3000, 'x') + "port=1\n");
    EXPECT_EQ(s->comment, comment.c_str());
    EXPECT_EQ(s->filterlist, expect.c_str());
    EXPECT_EQ(s->port, 5050);
}

// The checks a new process would make on the file, without touching the
// settings in force or their temporary directory.
TEST_F(ConfigLoadTest, StartupCheckOfTheFileForANewProcess) {
    struct Case {
        std::string content;
        int commandLinePort;
        bool ok;
        const char* err;  // checked when !ok
    } const cases[] = {
        {Minimal(), 0, true, ""},
        {Minimal(), 6000, true, ""},
        {"password=secret\nzelpath=" + agent_ + "\n", 6000, true, ""},  // the command line names the port
        {"password=secret\nzelpath=" + agent_ + "\n", 0, false, "  TCP post is not specified!\n"},
        {"port=70000\npassword=secret\nzelpath=" + agent_ + "\n", 0, false, "  TCP port is out of range (1-65535)!\n"},
        {"port=-3\npassword=secret\nzelpath=" + agent_ + "\n", 0, false, "  TCP port is out of range (1-65535)!\n"},
        {"port=5050\nzelpath=" + agent_ + "-gone\n", 0, false,
         "  Password is not specified!\n  Invalid path to the agent!\n"},
    };
    const std::string keep = dir_ + "/keep";
    ASSERT_EQ(::mkdir(keep.c_str(), 0700), 0);
    ZELSettings.Modify([&](TZELSettings& s) { s.tmpdir = keep.c_str(); });
    SetTempDirectory(String(keep.c_str()));
    const auto before = ZELSettings.Get();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        ASSERT_TRUE(WriteTextFile(cfg_, c.content + "tmpdir=" + dir_ + "\n"));
        String err;
        EXPECT_EQ(CheckStartupSettings(String(cfg_.c_str()), c.commandLinePort, err), c.ok);
        if (!c.ok) {
            EXPECT_EQ(err, c.err);
        }
        EXPECT_EQ(ZELSettings.Get(), before);
        EXPECT_EQ(GetTempDirectory(), keep.c_str());
    }
    ZELSettings.Modify([](TZELSettings& s) { s.tmpdir = ""; });
}

// A value means the same in force and in the file.
TEST(SettingValues, OneRuleForTheFileAndTheServer) {
    EXPECT_EQ(TimeoutInForce(0), kDefaultTimeoutMs);
    EXPECT_EQ(TimeoutInForce(-1), -1);
    EXPECT_EQ(TimeoutInForce(20000), 20000);
    const struct {
        const char* entries;
        const char* list;
    } lists[] = {
        {"", ""},
        {" \t\r\n", ""},
        {"10.0.0.1", "10.0.0.1"},
        {"  10.0.0.1 \t 10.0.0.2\r\n\r\n10.0.0.3\n", "10.0.0.1\r\n10.0.0.2\r\n10.0.0.3"},
        {"10.0.0.1,10.0.0.2 10.0.0.3", "10.0.0.1,10.0.0.2\r\n10.0.0.3"},
    };
    for (const auto& l : lists) EXPECT_EQ(FilterListInForce(l.entries), l.list) << l.entries;
}

TEST(ConfigKeys, TableMatchesTheFile) {
    EXPECT_EQ(kSettingsKeyCount, 48);
    int saved = 0, keyed = 0, switches = 0;
    for (const TZELSettingsKey& k : kSettingsKeys) {
        saved += k.saved;
        keyed += k.key != nullptr;
        switches += k.isSwitch;
    }
    EXPECT_EQ(saved, 36);
    EXPECT_EQ(keyed, 44);
    EXPECT_EQ(switches, 23);
    EXPECT_NE(FindSettingsKey("syslogaction"), nullptr);
    EXPECT_EQ(FindSettingsKey("service"), nullptr);
    EXPECT_EQ(FindSettingsKey("Port"), nullptr);  // callers pass lower case
    EXPECT_EQ(FindRemoteSettingsKey("Service")->number, &TZELSettings::service);
    // The account to serve as is the host's business: read from the file
    // only, never changed or shown over the wire, never written by a save.
    const TZELSettingsKey* user = FindSettingsKey("user");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->text, &TZELSettings::user);
    EXPECT_FALSE(user->saved);
    EXPECT_EQ(user->remote, nullptr);
    EXPECT_EQ(user->listed, 0);
}

// Every row reaches a field of its type; names are unique in each namespace;
// a row without a key is a switch and never saved; each status list
// numbers its switches 1..N without a gap.
TEST(ConfigKeys, RowsAreConsistent) {
    std::set<std::string> keys, remotes, labels;
    std::map<TZELStatusList, std::set<int>> orders;
    for (const TZELSettingsKey& k : kSettingsKeys) {
        SCOPED_TRACE(k.key ? k.key : k.remote);
        const bool textual = k.type == TZELKeyType::Text || k.type == TZELKeyType::FilterList;
        EXPECT_EQ(k.text != nullptr, textual);
        EXPECT_EQ(k.number != nullptr, !textual);
        if (k.key != nullptr) {
            EXPECT_TRUE(keys.insert(k.key).second);
        }
        if (k.remote != nullptr) {
            EXPECT_TRUE(remotes.insert(k.remote).second);
        }
        if (k.key == nullptr) {
            EXPECT_TRUE(k.isSwitch);
            EXPECT_FALSE(k.saved);
            EXPECT_FALSE(k.kept);
        }
        if (k.isSwitch) {
            EXPECT_EQ(k.type, TZELKeyType::Flag);
        }
        if (k.statusList != TZELStatusList::None) {
            EXPECT_TRUE(k.isSwitch);
            ASSERT_NE(k.statusLabel, nullptr);
            EXPECT_TRUE(labels.insert(k.statusLabel).second);
            EXPECT_TRUE(orders[k.statusList].insert(k.statusOrder).second);
        }
    }
    for (const auto& [list, numbers] : orders) {
        EXPECT_EQ(*numbers.begin(), 1);
        EXPECT_EQ(*numbers.rbegin(), static_cast<int>(numbers.size()));
    }
    EXPECT_EQ(orders[TZELStatusList::Tests].size(), 13u);
    EXPECT_EQ(orders[TZELStatusList::Actions].size(), 3u);
}

TEST(ConfigSnapshots, PublishedValuesNeverChange) {
    TZELSettingsStore store;
    store.Modify([](TZELSettings& s) { s.comment = "one"; });
    auto first = store.Get();
    store.Modify([](TZELSettings& s) { s.comment = "two"; });
    EXPECT_EQ(first->comment, "one");
    EXPECT_EQ(store.Get()->comment, "two");
}

}  // namespace
