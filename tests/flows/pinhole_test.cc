// A pinhole command's result against a scripted router on loopback: what an answer lost
// after the request went out, or one without a usable ID, comes to.
#include "flows/pinhole.h"

#include <gtest/gtest.h>

#include "cli/grammar.h"
#include "tests/support/error_print.h"
#include "tests/support/loopback_server.h"
#include "tests/support/router_replies.h"

namespace {

const ScriptedReply kLost{""};  // the connection closes without an answer

struct RemoveCase {
  const char* name;
  std::vector<ScriptedReply> replies;  // the removal's, then the check's
  Error error;
  bool unknown;
  Status status;
};

TEST(Pinhole, ALostRemovalIsCheckedByItsId) {
  const RemoveCase cases[] = {
      {"answered (the control)",
       {{soap_response("DeletePinhole", "")}},
       Error::kOk,
       false,
       Status::kSuccess},
      {"lost, then the ID is gone",
       {kLost, {fault_response(704)}},
       Error::kOk,
       false,
       Status::kSuccess},
      {"lost, then the ID is there",
       {kLost,
        {soap_response("CheckPinholeWorking", "<IsWorking>1</IsWorking>")},
        {soap_response("GetPinholePackets", "<PinholePackets>3</PinholePackets>")}},
       Error::kHttpNoHead,
       false,
       Status::kPinholeFailed},
      {"lost, and the check lost too",
       {kLost, kLost, kLost, kLost},
       Error::kHttpNoHead,
       true,
       Status::kRemoveUnknown},
  };
  for (const RemoveCase& c : cases) {
    LoopbackServer server(c.replies);
    RequestRecord request;
    request.pinhole_id = 7;
    const PinholeResult result = pinhole_apply(kPinholeRemove, request, gateway_at(server));
    EXPECT_EQ(result.error, c.error) << c.name;
    EXPECT_EQ(result.unknown, c.unknown) << c.name;
    EXPECT_EQ(pinhole_outcome(result).status, c.status) << c.name;
  }
}

struct AddCase {
  const char* name;
  ScriptedReply reply;
  bool maybe;
  Status status;
};

TEST(Pinhole, AnAddWithoutAUsableIdMayHaveOpenedIt) {
  const AddCase cases[] = {
      {"an ID (the control)",
       {soap_response("AddPinhole", "<UniqueID>12</UniqueID>")},
       false,
       Status::kSuccess},
      {"a word",
       {soap_response("AddPinhole", "<UniqueID>abc</UniqueID>")},
       true,
       Status::kPinholeUnknown},
      {"digits in elements",
       {soap_response("AddPinhole", "<UniqueID>5<b>6</b></UniqueID>")},
       true,
       Status::kPinholeUnknown},
      {"lost", kLost, true, Status::kPinholeUnknown},
      {"refused", {fault_response(606)}, false, Status::kPinholeNotAuthorized},
  };
  for (const AddCase& c : cases) {
    LoopbackServer server({c.reply});
    RequestRecord request;
    request.protocol = "TCP";
    request.pinhole_port = 5000;
    request.pinhole_lease = 600;
    request.local_address = "2001:db8::2";
    const PinholeResult result = pinhole_apply(kPinholeAdd, request, gateway_at(server));
    EXPECT_EQ(pinhole_maybe_added(result), c.maybe) << c.name;
    EXPECT_EQ(pinhole_outcome(result).status, c.status) << c.name;
    EXPECT_EQ(result.id, c.maybe || c.status != Status::kSuccess ? 0 : 12) << c.name;
  }
}

}  // namespace
