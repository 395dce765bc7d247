// The database's file: exact text, round trips, escapes, corrupt files set
// aside, atomic saves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/dbstore.h"
#include "platform/fsutil.h"
#include "platform/lumdb.h"
#include "platform/testing.h"

namespace {

std::vector<uint32_t> K(std::initializer_list<uint32_t> entries) {
  std::vector<uint32_t> keys(entries);
  keys.resize(LUM_DB_KEYS, 0);
  return keys;
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteAll(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool Exists(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool AnyTraceHas(const std::string &part) {
  for (const std::string &line : lum::testing::TraceLines()) {
    if (line.find(part) != std::string::npos) return true;
  }
  return false;
}

constexpr char kLan1[] = "InternetGatewayDevice.LANDevice.1.";
constexpr char kHost1[] = "InternetGatewayDevice.LANDevice.1.Hosts.Host.1.";

// A small, valid file: LAN device 1 and one host with two parameters.
std::string SmallFile() {
  return std::string(kLan1) + "\n" + kHost1 + "MACAddress=AA:BB:CC:DD:EE:FF\n" + kHost1 +
         "LeaseTimeRemaining=-1\n";
}

class DbFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "lumdb-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    m_dir = tmpl;
    m_file = m_dir + "/sub/dir/cfg.db";
    lum::testing::ResetDb();
    lum::testing::SetDbFile(m_file);
    lum::testing::CaptureLogs();
    m_net.bridges = {"br0"};
    m_net.bridgeKeys = {{"eth1", 0}, {"wl0", 0}};
    lum::testing::UseFakeNet(&m_net);
  }
  void TearDown() override {
    lum::testing::UseRealNet();
    lum::testing::ReleaseLogs();
    lum::testing::ResetDb();
    std::string cmd = "rm -rf '" + m_dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  void WriteDbFile(const std::string &text) {
    ASSERT_TRUE(lum::MakeDirs(m_file, 0750, true));
    WriteAll(m_file, text);
  }
  uint32_t AddHost(uint32_t ulLan, const std::vector<std::pair<size_t, std::string>> &texts,
                   uint32_t ulLease) {
    LUM_DB_SLOT *value = nullptr;
    EXPECT_EQ(LUM_DBGetDftObject(LUM_DB_KIND_HOST, &value, 0), 0u);
    for (const auto &[slot, text] : texts) {
      EXPECT_EQ(LUM_KEM_SetObjStrValue(static_cast<uint32_t>(slot), value, text.c_str()), 0u);
    }
    value[3].ulNum = ulLease;
    uint32_t ulInst = 0;
    EXPECT_EQ(LUM_DBAddObj(K({ulLan}).data(), LUM_DB_KIND_HOST, value, &ulInst), 0u);
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, value);
    return ulInst;
  }
  uint32_t AddLan() {
    LUM_DB_SLOT *value = nullptr;
    EXPECT_EQ(LUM_DBGetDftObject(LUM_DB_KIND_LANDEVICE, &value, 0), 0u);
    uint32_t ulInst = 0;
    EXPECT_EQ(LUM_DBAddObj(nullptr, LUM_DB_KIND_LANDEVICE, value, &ulInst), 0u);
    LUM_KEM_FreeObj(LUM_DB_KIND_LANDEVICE, value);
    return ulInst;
  }
  std::string HostText(uint32_t ulLan, uint32_t ulHost, size_t slot) {
    LUM_DB_SLOT *value = nullptr;
    if (LUM_DBGetObj(K({ulLan, ulHost}).data(), LUM_DB_KIND_HOST, &value, 0) != 0) return "(none)";
    std::string text = value[slot].pcStr;
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, value);
    return text;
  }
  uint32_t Count(uint32_t ulKind) {
    uint32_t ulCount = 0;
    EXPECT_EQ(LUM_DBGetNumOfObjs(nullptr, ulKind, &ulCount, nullptr), 0u);
    return ulCount;
  }

  lum::testing::FakeNet m_net;
  std::string m_dir;
  std::string m_file;
};

TEST_F(DbFileTest, SavedFileListsKindsInOrderWithBareLinesForLanDevices) {
  uint32_t ulLan = AddLan();
  LUM_DB_SLOT *value = nullptr;
  ASSERT_EQ(LUM_DBGetDftObject(LUM_DB_KIND_BRIDGE_NUM, &value, 0), 0u);
  ASSERT_EQ(LUM_DBAddObj(K({ulLan}).data(), LUM_DB_KIND_BRIDGE_NUM, value, nullptr), 0u);
  LUM_KEM_FreeObj(LUM_DB_KIND_BRIDGE_NUM, value);
  ASSERT_EQ(LUM_DBGetDftObject(LUM_DB_KIND_HOST_IPV6, &value, 0), 0u);
  ASSERT_EQ(LUM_KEM_SetObjStrValue(0, value, "fe80::1"), 0u);
  AddHost(ulLan, {{5, "AA:BB:CC:DD:EE:FF"}}, 0xFFFFFFFF);
  ASSERT_EQ(LUM_DBAddObj(K({ulLan, 1}).data(), LUM_DB_KIND_HOST_IPV6, value, nullptr), 0u);
  LUM_KEM_FreeObj(LUM_DB_KIND_HOST_IPV6, value);

  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  std::string text = ReadAll(m_file);
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 1u + 17 + 1 + 1);
  EXPECT_EQ(lines[0], "InternetGatewayDevice.LANDevice.1.");
  EXPECT_EQ(lines[1], std::string(kHost1) + "IPAddress=");
  EXPECT_EQ(lines[4], std::string(kHost1) + "LeaseTimeRemaining=-1");
  EXPECT_EQ(lines[6], std::string(kHost1) + "MACAddress=AA:BB:CC:DD:EE:FF");
  EXPECT_EQ(lines[17], std::string(kHost1) + "X_DeviceName=");
  EXPECT_EQ(lines[18], std::string(kHost1) + "X_IPv6Address.1.Address=fe80::1");
  EXPECT_EQ(lines[19], "InternetGatewayDevice.LANDevice.1.X_Bridge.BridgeNumber=0");
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(DbFileTest, RoundTripKeepsTextsByteForByteAndCountsOnFromTheHighest) {
  const std::string tricky = "back\\slash\nnew line\x01\t\x1f\x7f end";
  const std::string utf8 = "Wohnzimmer-Ger\xc3\xa4t \xe2\x98\x83 \xf0\x9d\x84\x9e";
  const std::string notUtf8 = "\xff\xc0\x80\xed\xa0\x80 \xe2\x98";
  uint32_t ulLan = AddLan();
  AddHost(ulLan, {{5, "gone"}}, 0);
  AddHost(ulLan, {{11, tricky}, {16, utf8}, {13, notUtf8}, {0, "a=b=c"}}, 0xFFFFFFFF);
  ASSERT_EQ(LUM_DBDelObj(K({ulLan, 1}).data(), LUM_DB_KIND_HOST), 0u);
  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);

  std::string text = ReadAll(m_file);
  EXPECT_NE(text.find("HostName=back\\\\slash\\nnew line\\x01\\x09\\x1F\\x7F end\n"),
            std::string::npos);
  EXPECT_NE(text.find("X_DeviceName=" + utf8 + "\n"), std::string::npos);
  EXPECT_NE(text.find("X_Reserved=\\xFF\\xC0\\x80\\xED\\xA0\\x80 \\xE2\\x98\n"), std::string::npos);
  EXPECT_NE(text.find("LeaseTimeRemaining=-1\n"), std::string::npos);

  lum::testing::ResetDb();
  lum::testing::SetDbFile(m_file);
  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  EXPECT_EQ(HostText(ulLan, 2, 11), tricky);
  EXPECT_EQ(HostText(ulLan, 2, 16), utf8);
  EXPECT_EQ(HostText(ulLan, 2, 13), notUtf8);
  EXPECT_EQ(HostText(ulLan, 2, 0), "a=b=c");
  LUM_DB_SLOT *value = nullptr;
  ASSERT_EQ(LUM_DBGetObj(K({ulLan, 2}).data(), LUM_DB_KIND_HOST, &value, 0), 0u);
  EXPECT_EQ(value[3].ulNum, 0xFFFFFFFFu);
  LUM_KEM_FreeObj(LUM_DB_KIND_HOST, value);
  // After a load the numbers go on from the highest in the file.
  EXPECT_EQ(AddHost(ulLan, {}, 0), 3u);
  EXPECT_FALSE(Exists(m_file + ".bad"));
}

TEST_F(DbFileTest, ParseFormatParseIsStable) {
  std::string text =
      "# comment\n"
      "\n" +
      std::string(kHost1) + "HostName=x\\x0Ay\n" +  // a child before its parent is fine
      kLan1 + "\n" + "InternetGatewayDevice.LANDevice.7.X_Bridge.BridgeNumber=-2147483648\n" +
      "InternetGatewayDevice.LANDevice.7.\n" +
      "InternetGatewayDevice.Layer2Bridging.AvailableInterface.4294967295.X_InterfaceName=e\n";
  lum::db::Store first;
  std::string why;
  ASSERT_TRUE(lum::db::ParseFile(text, &first, &why)) << why;
  EXPECT_EQ(first.Size(), 5u);
  std::string written = lum::db::FormatFile(first);
  lum::db::Store second;
  ASSERT_TRUE(lum::db::ParseFile(written, &second, &why)) << why;
  EXPECT_TRUE(first.SameContent(second));
  EXPECT_EQ(lum::db::FormatFile(second), written);
  const lum::db::Object *host = first.Find(lum::db::kHost, lum::db::Keys{1, 1});
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(std::string(host->Text(11)), "x\ny");
  // 0xFFFFFFFF instances leave no next number: adding there is refused, not wrapped.
  lum::db::Keys keys{};
  EXPECT_EQ(first.Add(lum::db::kAvailIf, lum::db::Keys{}, {}, &keys), LUM_DB_ERR_NO_ROOM);
}

TEST_F(DbFileTest, EmptyFileIsAnEmptyDatabase) {
  WriteDbFile("");
  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  EXPECT_EQ(Count(LUM_DB_KIND_LANDEVICE), 0u);
  EXPECT_FALSE(Exists(m_file + ".bad"));
}

TEST_F(DbFileTest, InitTwiceReloadsTheFile) {
  WriteDbFile(SmallFile());
  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  EXPECT_EQ(HostText(1, 1, 5), "AA:BB:CC:DD:EE:FF");
  ASSERT_EQ(LUM_DBDelObj(K({1, 1}).data(), LUM_DB_KIND_HOST), 0u);
  EXPECT_EQ(Count(LUM_DB_KIND_HOST), 0u);
  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  EXPECT_EQ(HostText(1, 1, 5), "AA:BB:CC:DD:EE:FF");
}

TEST_F(DbFileTest, FileComesFromTheEnvironmentAtInitTime) {
  std::string envFile = m_dir + "/env/cfg.db";
  ASSERT_TRUE(lum::MakeDirs(envFile, 0750, true));
  WriteAll(envFile, SmallFile());
  lum::testing::SetDbFile("");
  setenv("LUM_DB_FILE", envFile.c_str(), 1);
  uint32_t ulRet = LUM_DBInit(0x8000, 0);
  unsetenv("LUM_DB_FILE");
  ASSERT_EQ(ulRet, 0u);
  EXPECT_EQ(HostText(1, 1, 5), "AA:BB:CC:DD:EE:FF");
  // Saved where it was loaded from, though the variable is gone by now.
  ASSERT_EQ(LUM_DBSetPara(K({1, 1}).data(), LUM_DB_PARA_HOST_IPV4_ACTIVE, 1), 0u);
  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  EXPECT_NE(ReadAll(envFile).find("Hosts.Host.1.Active=1\n"), std::string::npos);
}

TEST_F(DbFileTest, SaveIsAtomicCreatesFoldersAndCounts) {
  AddLan();
  EXPECT_EQ(lum::testing::DbSaveCount(), 0u);
  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  EXPECT_EQ(lum::testing::DbSaveCount(), 1u);
  struct stat st {};
  ASSERT_EQ(stat((m_dir + "/sub/dir").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  EXPECT_EQ(stat((m_dir + "/sub").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  EXPECT_FALSE(Exists(m_file + ".tmp"));
  std::string before = ReadAll(m_file);

  // A save that cannot write its temporary file leaves the old file and the memory alone.
  AddLan();
  ASSERT_EQ(mkdir((m_file + ".tmp").c_str(), 0700), 0);
  EXPECT_EQ(LUM_DBSaveToAppFunc("caller.cc", 42, "Caller"), LUM_DB_ERR_IO);
  EXPECT_EQ(lum::testing::DbSaveCount(), 2u);
  EXPECT_EQ(ReadAll(m_file), before);
  EXPECT_EQ(Count(LUM_DB_KIND_LANDEVICE), 2u);
  EXPECT_TRUE(AnyTraceHas("caller.cc:42 Caller"));
  ASSERT_EQ(rmdir((m_file + ".tmp").c_str()), 0);
  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  EXPECT_NE(ReadAll(m_file), before);

  // A folder that cannot be made.
  WriteAll(m_dir + "/plain", "x");
  lum::testing::SetDbFile(m_dir + "/plain/cfg.db");
  EXPECT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), LUM_DB_ERR_IO);
}

TEST_F(DbFileTest, WithoutAFileSavesWriteNothingButCount) {
  lum::testing::ResetDb();
  AddLan();
  EXPECT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  EXPECT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  EXPECT_EQ(lum::testing::DbSaveCount(), 2u);
  EXPECT_FALSE(Exists(m_file));
  // Init keeps what the test put in; an empty memory is seeded like a gateway without a file.
  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  EXPECT_EQ(Count(LUM_DB_KIND_AVAIL_IF), 0u);
  lum::testing::ResetDb();
  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  EXPECT_EQ(Count(LUM_DB_KIND_AVAIL_IF), 2u);
  EXPECT_EQ(lum::testing::DbSaveCount(), 0u);
}

struct CorruptCase {
  const char *pcName;
  std::string text;
};

class DbCorruptFileTest : public DbFileTest, public ::testing::WithParamInterface<CorruptCase> {};

TEST_P(DbCorruptFileTest, IsKeptAsBadAndTheDatabaseStartsSeeded) {
  WriteDbFile(GetParam().text);
  lum::db::Store store;
  std::string why;
  EXPECT_FALSE(lum::db::ParseFile(GetParam().text, &store, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(store.Size(), 0u);

  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  EXPECT_FALSE(Exists(m_file));
  EXPECT_EQ(ReadAll(m_file + ".bad"), GetParam().text);
  EXPECT_TRUE(AnyTraceHas("corrupt")) << "no trace";
  EXPECT_TRUE(AnyTraceHas(why)) << why;
  // Seeded from the (fake) kernel: br0 with eth1 and wl0, nothing of the file.
  EXPECT_EQ(Count(LUM_DB_KIND_LANDEVICE), 1u);
  EXPECT_EQ(Count(LUM_DB_KIND_AVAIL_IF), 2u);
  EXPECT_EQ(Count(LUM_DB_KIND_HOST), 0u);
  EXPECT_FALSE(Exists(m_file));  // not written until a save
}

std::string Host(const std::string &rest) { return SmallFile() + kHost1 + rest + "\n"; }

INSTANTIATE_TEST_SUITE_P(
    Kinds, DbCorruptFileTest,
    ::testing::Values(
        CorruptCase{"BadEscape", Host("HostName=a\\tb")},
        CorruptCase{"ShortHexEscape", Host("HostName=a\\x4")},
        CorruptCase{"NulEscape", Host("HostName=a\\x00")},
        CorruptCase{"TrailingBackslash", Host("HostName=a\\")},
        CorruptCase{"UnknownParameter", Host("Hostname=a")},
        CorruptCase{"UnknownPath", SmallFile() + "InternetGatewayDevice.WANDevice.1.X=1\n"},
        CorruptCase{"MissingParent",
                    SmallFile() + "InternetGatewayDevice.LANDevice.2.Hosts.Host.1.HostName=a\n"},
        CorruptCase{
            "MissingHostOfIpv6",
            SmallFile() + kHost1 + "X_IPv6Address.1.Address=fe80::1\n" +
                "InternetGatewayDevice.LANDevice.1.Hosts.Host.2.X_IPv6Address.1.Address=x\n"},
        CorruptCase{"Garbage", std::string("\x7f"
                                           "ELF\x02\x01\x01\0\0\0garbage\n",
                                           18)},
        CorruptCase{"TruncatedLine", SmallFile() + kHost1 + "HostNa"},
        CorruptCase{"UnterminatedValue", SmallFile() + kHost1 + "HostName=cut"},
        CorruptCase{"HugeLine", Host("HostName=" + std::string(2000000, 'h'))},
        CorruptCase{"TextOneByteTooLong", Host("HostName=" + std::string(1025, 'h'))},
        CorruptCase{"BadNumber", Host("Active=1x")},
        CorruptCase{"NumberOutOfRange", Host("Active=4294967295")},
        CorruptCase{"EmptyNumber", Host("Active=")},
        CorruptCase{"DuplicateParameter", Host("MACAddress=11:22:33:44:55:66")},
        CorruptCase{"RawControlByte", Host("HostName=a\tb")},
        CorruptCase{"CarriageReturn", Host("HostName=ab\r")},
        CorruptCase{"InvalidUtf8", Host("HostName=\xc3(")},
        CorruptCase{"ObjectWithValue", SmallFile() + kLan1 + "=1\n"},
        CorruptCase{"ParameterWithoutValue", Host("HostName")},
        CorruptCase{"InstanceZero", SmallFile() + "InternetGatewayDevice.LANDevice.0.\n"},
        CorruptCase{"LeadingZeroInstance", SmallFile() + "InternetGatewayDevice.LANDevice.01.\n"},
        CorruptCase{"InstanceTooBig",
                    SmallFile() + "InternetGatewayDevice.LANDevice.4294967296.\n"},
        CorruptCase{"EmptySegment", SmallFile() + "InternetGatewayDevice..LANDevice.1.\n"},
        CorruptCase{"LeadingSpace", SmallFile() + " " + kLan1 + "\n"}),
    [](const ::testing::TestParamInfo<CorruptCase> &param) { return param.param.pcName; });

struct EscapeCase {
  std::string text;
  std::string escaped;
};

class DbEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(DbEscapeTest, EscapesOnlyWhatMustBeAndReadsBack) {
  EXPECT_EQ(lum::db::EscapeText(GetParam().text), GetParam().escaped);
  std::string back;
  std::string why;
  ASSERT_TRUE(lum::db::UnescapeText(GetParam().escaped, &back, &why)) << why;
  EXPECT_EQ(back, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DbEscapeTest,
    ::testing::Values(EscapeCase{"", ""}, EscapeCase{"plain = text #", "plain = text #"},
                      EscapeCase{"\\", "\\\\"}, EscapeCase{"\\n", "\\\\n"}, EscapeCase{"\n", "\\n"},
                      EscapeCase{"\r\n", "\\x0D\\n"}, EscapeCase{"\x1b[0m", "\\x1B[0m"},
                      EscapeCase{"\xc2\xa0\xf4\x8f\xbf\xbf", "\xc2\xa0\xf4\x8f\xbf\xbf"},
                      EscapeCase{"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // past U+10FFFF
                      EscapeCase{"\xe0\x80\xaf", "\\xE0\\x80\\xAF"}));         // overlong

TEST(DbNumberTest, SignedThirtyTwoBitDecimalsOnly) {
  uint32_t ulNum = 7;
  EXPECT_TRUE(lum::db::ParseNumber("-1", &ulNum));
  EXPECT_EQ(ulNum, 0xFFFFFFFFu);
  EXPECT_TRUE(lum::db::ParseNumber("2147483647", &ulNum));
  EXPECT_EQ(ulNum, 0x7FFFFFFFu);
  EXPECT_TRUE(lum::db::ParseNumber("-2147483648", &ulNum));
  EXPECT_EQ(ulNum, 0x80000000u);
  for (const char *bad :
       {"", "-", "+1", "2147483648", "-2147483649", "1 ", " 1", "0x10", "99999999999", "1.0"}) {
    EXPECT_FALSE(lum::db::ParseNumber(bad, &ulNum)) << bad;
  }
}

}  // namespace
