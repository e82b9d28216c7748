// The one writer of events: each report in protocol 1's form (the bytes hosts already read)
// and in protocol 2's (id, canonical address and code on every answer).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/report.h"

namespace {

struct Case {
  const char* name;
  Report report;
  std::string v1;
  std::string v2;
};

TEST(FormatReport, WritesEachReportInBothProtocols) {
  const std::string addr = "A4:50:46:12:34:56";
  const Case cases[] = {
      {"device",
       {.kind = Kind::device, .id = "7", .addr = addr, .text = "Робот \"R\"", .yes = true},
       R"({"t":"device","addr":"A4:50:46:12:34:56","name":"Робот \"R\"","paired":true})",
       R"({"t":"device","id":7,"addr":"A4:50:46:12:34:56","name":"Робот \"R\"","paired":true})"},
      {"scan done",
       {.kind = Kind::scanDone, .id = R"("s")"},
       R"({"t":"scan-done"})",
       R"({"t":"scan-done","id":"s"})"},
      {"scan refused",
       {.kind = Kind::scanDone, .code = Code::adapterOff, .text = "выкл"},
       R"({"t":"scan-done"})",
       R"({"t":"scan-done","code":"ADAPTER_OFF","error":"выкл"})"},
      {"ok", {.kind = Kind::ok, .id = "1"}, "", R"({"t":"ok","id":1})"},
      {"pairing code",
       {.kind = Kind::pairingCode, .id = "2", .addr = addr, .text = "0042"},
       R"({"t":"pairing-code","code":"0042"})",
       R"({"t":"pairing-code","id":2,"addr":"A4:50:46:12:34:56","code":"0042"})"},
      {"paired",
       {.kind = Kind::pairResult, .addr = addr, .yes = true},
       R"({"t":"pair-result","addr":"A4:50:46:12:34:56","ok":true})",
       R"({"t":"pair-result","addr":"A4:50:46:12:34:56","ok":true})"},
      {"pairing refused",
       {.kind = Kind::pairResult,
        .id = "3",
        .addr = addr,
        .code = Code::pairingRefused,
        .text = "нет (код 19)",
        .status = 19},
       R"j({"t":"pair-result","addr":"A4:50:46:12:34:56","ok":false,"error":"нет (код 19)"})j",
       R"({"t":"pair-result","id":3,"addr":"A4:50:46:12:34:56","ok":false,)"
       R"j("code":"PAIRING_REFUSED","error":"нет (код 19)","status":19})j"},
      {"pairing failed on the platform",
       {.kind = Kind::pairResult,
        .addr = "a\"b",
        .code = Code::platformError,
        .text = "Сбой (0x80004005)",
        .hresult = int32_t(0x80004005)},
       R"j({"t":"pair-result","addr":"a\"b","ok":false,"error":"Сбой (0x80004005)"})j",
       R"({"t":"pair-result","addr":"a\"b","ok":false,"code":"PLATFORM_ERROR",)"
       R"j("error":"Сбой (0x80004005)","hresult":"0x80004005"})j"},
      {"connected",
       {.kind = Kind::connected, .id = "4", .addr = addr},
       R"({"t":"connected","addr":"A4:50:46:12:34:56"})",
       R"({"t":"connected","id":4,"addr":"A4:50:46:12:34:56"})"},
      // Protocol 2 puts the error last: carrying the id, it ends the command's answer.
      {"connect failed",
       {.kind = Kind::connectFailed,
        .id = "5",
        .addr = addr,
        .code = Code::openFailed,
        .text = "отказ (0x8007274D)",
        .reason = "не удалось открыть соединение",
        .hresult = int32_t(0x8007274D)},
       R"j({"t":"error","error":"отказ (0x8007274D)"})j"
       "\r\n"
       R"({"t":"closed","reason":"не удалось открыть соединение"})",
       R"({"t":"closed","id":5,"addr":"A4:50:46:12:34:56","code":"OPEN_FAILED",)"
       R"("reason":"не удалось открыть соединение"})"
       "\r\n"
       R"({"t":"error","id":5,"addr":"A4:50:46:12:34:56","code":"OPEN_FAILED",)"
       R"j("error":"отказ (0x8007274D)","hresult":"0x8007274D"})j"},
      {"sent",
       {.kind = Kind::sent, .id = "6", .addr = addr, .bytes = 1048576},
       "",
       R"({"t":"sent","id":6,"addr":"A4:50:46:12:34:56","bytes":1048576})"},
      {"store failed",
       {.kind = Kind::writeFailed,
        .id = "7",
        .addr = addr,
        .code = Code::writeFailed,
        .text = "запись не удалась",
        .hresult = 1},
       R"({"t":"error","error":"запись не удалась"})",
       R"({"t":"error","id":7,"addr":"A4:50:46:12:34:56","code":"WRITE_FAILED",)"
       R"("error":"запись не удалась","hresult":"0x00000001"})"},
      {"refused command",
       {.kind = Kind::error, .id = R"("x")", .code = Code::busy, .text = "занято"},
       "",
       R"({"t":"error","id":"x","code":"BUSY","error":"занято"})"},
      {"closed by the host",
       {.kind = Kind::closed,
        .id = "8",
        .addr = addr,
        .code = Code::hostClosed,
        .text = "соединение закрыто"},
       R"({"t":"closed","reason":"соединение закрыто"})",
       R"({"t":"closed","id":8,"addr":"A4:50:46:12:34:56","code":"HOST_CLOSED",)"
       R"("reason":"соединение закрыто"})"},
      {"link lost",
       {.kind = Kind::closed, .addr = addr, .code = Code::linkLost, .text = "соединение закрыто"},
       R"({"t":"closed","reason":"соединение закрыто"})",
       R"({"t":"closed","addr":"A4:50:46:12:34:56","code":"LINK_LOST",)"
       R"("reason":"соединение закрыто"})"},
      {"adapter", {.kind = Kind::adapter, .text = "off"}, "", R"({"t":"adapter","state":"off"})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formatReport(c.report, Protocol::v1), c.v1) << c.name;
    EXPECT_EQ(formatReport(c.report, Protocol::v2), c.v2) << c.name;
  }
}

TEST(FormatReport, DataEventsCarryTheLinksAddressInProtocol2Only) {
  EXPECT_EQ(dataPrefix(Protocol::v1, "A4:50:46:12:34:56"), R"({"t":"data","b64":")");
  EXPECT_EQ(dataPrefix(Protocol::v2, "A4:50:46:12:34:56"),
            R"({"t":"data","addr":"A4:50:46:12:34:56","b64":")");
}

TEST(FormatReport, HelloTellsTheProtocolVersionBackendAdapterAndWindow) {
  using testing::EndsWith;
  using testing::StartsWith;
  std::string v2 = formatHello(R"("h")", Protocol::v2, platform::AdapterState::off);
  EXPECT_THAT(v2, StartsWith(R"({"t":"hello","id":"h","protocol":2,"version":")"));
  EXPECT_THAT(v2, EndsWith(R"(","backend":"sim","adapter":"off","window":1048576})"));
  std::string v1 = formatHello("", Protocol::v1, platform::AdapterState::absent);
  EXPECT_THAT(v1, StartsWith(R"({"t":"hello","protocol":1,"version":")"));
  EXPECT_THAT(v1, EndsWith(R"(","backend":"sim","adapter":"absent","window":1048576})"));
}

}  // namespace
