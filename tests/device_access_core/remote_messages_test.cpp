// ICMD commands over "I" run by the adapter's firmware, and the I2C and cable messages of a
// remote handle, with the replies that must be refused.
#include <algorithm>

#include <gtest/gtest.h>

#include "handle_services.h"
#include "remote_server_fixture.h"
#include "tlv_frames.h"

namespace {

using vexil_test::CapturedStream;
using remote_test::RemoteTest;
using remote_test::version;
using vexil_sim::RemoteServerConfig;
using vexil_sim::ScriptedReply;

constexpr uint16_t kEug = 0xC012;

ScriptedReply reply(const std::string& text) { return ScriptedReply{text, true, false}; }

// Operation TLV, register TLV and image, as register delivery frames a register.
std::vector<uint8_t> register_frame(uint16_t id, uint8_t method, const std::vector<uint8_t>& image) {
  std::vector<uint8_t> frame(vexil_sim::kOperationTlvBytes + vexil_sim::kRegTlvBytes + image.size());
  vexil_sim::OperationTlv op;
  op.type = vexil_sim::kOperationTlvType;
  op.len = vexil_sim::kOperationTlvBytes / 4;
  op.register_id = id;
  op.method = method;
  op.cls = 1;
  vexil_sim::encode_operation_tlv(op, frame.data());
  vexil_sim::RegTlv reg;
  reg.type = vexil_sim::kRegTlvType;
  reg.len = static_cast<uint16_t>(1 + image.size() / 4);
  vexil_sim::encode_reg_tlv(reg, frame.data() + vexil_sim::kOperationTlvBytes);
  std::copy(image.begin(), image.end(), frame.begin() + vexil_sim::kOperationTlvBytes + vexil_sim::kRegTlvBytes);
  return frame;
}

std::vector<uint8_t> image_of(const std::vector<uint8_t>& frame) {
  return std::vector<uint8_t>(frame.begin() + vexil_sim::kOperationTlvBytes + vexil_sim::kRegTlvBytes,
                              frame.end());
}

class RemoteIcmd : public RemoteTest {
 protected:
  void open_version(int minor, bool reply_0x = false) {
    RemoteServerConfig config = version(1, minor);
    config.icmd_reply_0x = reply_0x;
    start(config);
    ASSERT_EQ(open(), 0);
  }
  int send(std::vector<uint8_t>& frame, bool skip_write = false) {
    return icmd_send_command_remote(handle.get(), 0x9001, frame.data(), static_cast<int>(frame.size()),
                                    skip_write);
  }
  const std::vector<uint8_t> image = {0, 0, 0, 3, 'g', 'r', 'p', 0};
};

TEST_F(RemoteIcmd, SetAndGetRunOnTheAdaptersFirmware) {
  open_version(5);
  std::vector<uint8_t> set = register_frame(kEug, vexil_sim::kMethodSet, image);
  ASSERT_EQ(send(set), 0);
  EXPECT_EQ(adapter.register_image(kEug), image);
  EXPECT_EQ(vexil_sim::decode_operation_tlv(set.data()).dr, 1) << "the reply came back in place";
  const std::string sent = server->requests().back();
  EXPECT_EQ(sent.substr(0, 20), "I 0x9001 0x001c W 0x");
  EXPECT_EQ(sent.size(), 20 + 2 * set.size());

  std::vector<uint8_t> get = register_frame(kEug, vexil_sim::kMethodGet, std::vector<uint8_t>(8, 0xEE));
  ASSERT_EQ(send(get), 0);
  EXPECT_EQ(image_of(get), image);
  EXPECT_EQ(adapter.register_counts(kEug).get, 1u);
  EXPECT_EQ(adapter.stats().unlocked_icmd_commands, 0u) << "the server holds the semaphore";
}

TEST_F(RemoteIcmd, ReadOnlyCommandSendsNoBytesAndTakesTheReplyAfter0x) {
  open_version(7, true);
  std::vector<uint8_t> set = register_frame(kEug, vexil_sim::kMethodSet, image);
  ASSERT_EQ(send(set), 0);
  std::vector<uint8_t> again(set.size(), 0xEE);
  ASSERT_EQ(send(again, true), 0);
  EXPECT_EQ(server->requests().back(), "I 0x9001 0x001c R");
  EXPECT_EQ(image_of(again), image) << "the mailbox still holds the last reply";
}

TEST_F(RemoteIcmd, FailedCommandGivesTheServersStatusAndSyndrome) {
  open_version(7);
  vexil_sim::FaultKnobs knobs;
  knobs.icmd_status = 4;
  knobs.icmd_syndrome = 0x77;
  adapter.set_knobs(knobs);
  std::vector<uint8_t> frame = register_frame(kEug, vexil_sim::kMethodGet, image);
  const std::vector<uint8_t> before = frame;
  EXPECT_EQ(send(frame), 516);
  EXPECT_EQ(handle->icmd.syndrome, 0x77u);
  EXPECT_EQ(frame, before) << "a failed command returns no bytes";
}

TEST_F(RemoteIcmd, SyndromeIsTakenOnlyFromMinorSixOn) {
  open_version(5);
  handle->icmd.syndrome = 0;
  server->inject('I', reply("E 0x205 0x9"));
  std::vector<uint8_t> frame = register_frame(kEug, vexil_sim::kMethodGet, image);
  EXPECT_EQ(send(frame), 0x205);
  EXPECT_EQ(handle->icmd.syndrome, 0u);
}

TEST_F(RemoteIcmd, UnusableRepliesFailAndLeaveTheBytes) {
  open_version(7);
  std::vector<uint8_t> frame = register_frame(kEug, vexil_sim::kMethodGet, image);
  const std::string good(2 * frame.size(), 'a');
  const std::string replies[] = {"O " + good.substr(2), "O " + good + "aa", "O " + good + "a",
                                 "O " + good.substr(1) + "g", "O", "E", "E 0", "E 0x0 0x3",
                                 "E x 0x3", "E 0x205 junk", "E -5"};
  const std::vector<uint8_t> before = frame;
  for (const std::string& text : replies) {
    server->inject('I', reply(text));
    errno = 0;
    EXPECT_EQ(send(frame), -1) << text.substr(0, 12);
    EXPECT_EQ(errno, EBADMSG) << text.substr(0, 12);
    EXPECT_EQ(frame, before) << text.substr(0, 12);
  }
}

// The protocol has no tags: a copy of an answer that comes only after the next request went out
// is taken for that request's reply. One that names another register or method is refused as a
// reply that does not parse is; one for the same register and method cannot be told apart and is
// taken. The reply it displaced is dropped before the request after, which reads its own again.
TEST_F(RemoteIcmd, ALateCopyForAnotherRegisterOrMethodIsRefused) {
  open_version(7);
  ScriptedReply late;
  late.own = true;
  late.twice = true;
  late.late = true;
  std::vector<uint8_t> data = image;
  int status = -1;
  const auto access = [&](uint16_t id, int method) {
    errno = 0;
    return maccess_reg(handle.get(), id, method, data.data(), 8, 8, 8, &status);
  };
  server->inject('I', late);
  ASSERT_EQ(access(kEug + 1, MACCESS_REG_METHOD_GET), 0);
  EXPECT_EQ(access(kEug, MACCESS_REG_METHOD_GET), -1) << "another register's reply";
  EXPECT_EQ(errno, EBADMSG);
  server->inject('I', late);
  ASSERT_EQ(access(kEug, MACCESS_REG_METHOD_GET), 0);
  EXPECT_EQ(access(kEug, MACCESS_REG_METHOD_SET), -1) << "the GET's reply";
  EXPECT_EQ(errno, EBADMSG);
  server->inject('I', late);
  ASSERT_EQ(access(kEug, MACCESS_REG_METHOD_SET), 0);
  EXPECT_EQ(access(kEug, MACCESS_REG_METHOD_SET), 0) << "the last SET's reply: same register, method";
  EXPECT_EQ(access(kEug, MACCESS_REG_METHOD_GET), 0) << "the displaced SET reply was dropped";
}

TEST_F(RemoteIcmd, EmptyRepliesAreSkippedAndEndOfStreamEndsTheWait) {
  open_version(7);
  std::vector<uint8_t> frame = register_frame(kEug, vexil_sim::kMethodGet, image);
  const std::string hex(2 * frame.size(), '0');
  server->inject('I', reply(std::string("\0\0O ", 4) + hex));
  EXPECT_EQ(send(frame), 0);
  EXPECT_EQ(frame, std::vector<uint8_t>(frame.size(), 0));

  server->inject('I', ScriptedReply{std::string("\0", 1), false, true});
  EXPECT_EQ(send(frame), -1);
  EXPECT_EQ(handle->remote.connected, 0);
}

TEST_F(RemoteIcmd, MessageThatDoesNotFitIsNotSent) {
  open_version(7);
  // "I 0x9001 0x0803 W 0x" and 4102 hex digits are 4123 bytes with the NUL: the largest message.
  std::vector<uint8_t> largest(2051, 1);
  EXPECT_EQ(send(largest), 528) << "sent; the adapter's mailbox is smaller";
  EXPECT_EQ(server->count('I'), 1);
  std::vector<uint8_t> big(2052, 1);
  errno = 0;
  EXPECT_EQ(send(big), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(server->count('I'), 1);
  EXPECT_EQ(big, std::vector<uint8_t>(2052, 1));
}

// ---- I2C ----

// The server drives the adapter's I2C primary gateway: blocks and the scan reach the secondaries
// behind it through the gateway's own protocol.
TEST_F(RemoteTest, I2cBlocksAndScanGoThroughTheAdapterGateway) {
  start(version(1, 7));
  ASSERT_EQ(open(), 0);
  std::vector<uint8_t> eeprom(256);
  for (int i = 0; i < 256; ++i) eeprom[i] = static_cast<uint8_t>(i * 3);
  adapter.i2c_bus().add_memory(0x50, 1, eeprom);
  adapter.i2c_bus().add_memory(0x48, 2, {}, 0x1000);
  adapter.i2c_bus().add_silent(0x51);

  uint8_t bytes[64] = {};
  ASSERT_EQ(mread_i2cblock(handle.get(), 0x50, 1, 0x10, bytes, 8), 8);
  EXPECT_EQ(server->requests().back(), "r 1 0x50 0x8 0x10");
  EXPECT_EQ(bytes[7], eeprom[0x17]);
  EXPECT_EQ(handle->i2c_secondary, 0x50);

  uint8_t out[3] = {0xAB, 0xCD, 0xEF};
  ASSERT_EQ(mwrite_i2cblock(handle.get(), 0x48, 2, 0x20, out, 3), 3);
  EXPECT_EQ(server->requests().back(), "w 2 0x48 0x3 0x20 abcdef");
  EXPECT_EQ(adapter.i2c_bus().memory(0x48)[0x21], 0xCD);
  EXPECT_EQ(adapter.stats().last_i2c_gateway, 0xF0180u);

  errno = 0;
  EXPECT_EQ(mread_i2cblock(handle.get(), 0x50, 1, 0, bytes, 65), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(mread_i2cblock(handle.get(), 0x50, 3, 0, bytes, 4), -1) << "no width 3";
  EXPECT_EQ(mread_i2cblock(handle.get(), 0x51, 1, 0, bytes, 4), -1) << "nobody at 0x51";
  EXPECT_EQ(errno, EIO);

  uint8_t table[128];
  ASSERT_EQ(mi2c_detect(handle.get(), table), 0);
  for (int a = 0; a < 128; ++a) EXPECT_EQ(table[a], a == 0x48 || a == 0x50) << a;

  EXPECT_EQ(mset_i2c_secondary(handle.get(), 0x33), 0x51) << "the last transfer's secondary";
  EXPECT_EQ(server->secondary_address(), 0x33);
}

TEST_F(RemoteTest, I2cRepliesBeyondTheRequestAreRefused) {
  start(version(1, 7));
  ASSERT_EQ(open(), 0);
  uint8_t bytes[8] = {};
  const char* reads[] = {"O9 000102030405060708", "O4 010203", "O4 0102030405", "O", "O4", "Ox 01"};
  for (const char* text : reads) {
    server->inject('r', reply(text));
    errno = 0;
    EXPECT_EQ(mread_i2cblock(handle.get(), 0x50, 1, 0, bytes, 4), -1) << text;
    EXPECT_EQ(errno, EBADMSG) << text;
  }
  server->inject('r', reply("O 2 beef"));
  EXPECT_EQ(mread_i2cblock(handle.get(), 0x50, 1, 0, bytes, 4), 2) << "a shorter answer counts";
  EXPECT_EQ(bytes[1], 0xEF);

  const char* scans[] = {"O 5x", "O -1", "O  5"};
  for (const char* text : scans) {
    server->inject('S', reply(text));
    uint8_t table[128];
    memset(table, 0xFF, sizeof(table));
    EXPECT_EQ(mi2c_detect(handle.get(), table), -1) << text;
    EXPECT_EQ(std::count(table, table + 128, 0), 128) << text;
  }
  // Numbers that are no I2C address are passed over, the others still count.
  server->inject('S', reply("O 128 5 300 127"));
  uint8_t table[128];
  ASSERT_EQ(mi2c_detect(handle.get(), table), 0);
  for (int a = 0; a < 128; ++a) EXPECT_EQ(table[a], a == 5 || a == 127) << a;
}

// ---- cables ----

TEST_F(RemoteTest, CableBytesTravelInPiecesOf2048) {
  start();
  ASSERT_EQ(open(), 0);
  std::vector<uint8_t> data(5000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  server->set_cable_bytes(0x100, data);
  std::vector<uint8_t> in(5000, 0);
  server->clear_requests();
  ASSERT_EQ(mcables_remote_operation_client_side(handle.get(), 0x100, 5000, in.data(), 0), 0);
  EXPECT_EQ(in, data);
  EXPECT_EQ(server->requests(),
            (std::vector<std::string>{"x 0x00000100 0x00000800", "x 0x00000900 0x00000800",
                                      "x 0x00001100 0x00000388"}));

  std::vector<uint8_t> out(3000, 0x5C);
  ASSERT_EQ(mcables_remote_operation_client_side(handle.get(), 0x4000, 3000, out.data(), 1), 0);
  EXPECT_EQ(server->cable_bytes(0x4000, 3000), out);
  EXPECT_EQ(server->count('X'), 2);
}

TEST_F(RemoteTest, ShortOrRefusedCableReplyGivesSix) {
  start();
  ASSERT_EQ(open(), 0);
  uint8_t bytes[4] = {9, 9, 9, 9};
  const char* replies[] = {"O", "O 0x0102", "O 0x0102030405", "E"};
  for (const char* text : replies) {
    server->inject('x', reply(text));
    EXPECT_EQ(mcables_remote_operation_client_side(handle.get(), 0, 4, bytes, 0), 6) << text;
    EXPECT_EQ(bytes[0], 9) << text;
  }
  server->inject('x', reply("O 01020304"));
  EXPECT_EQ(mcables_remote_operation_client_side(handle.get(), 0, 4, bytes, 0), 0) << "0x is optional";
  EXPECT_EQ(bytes[3], 4);
}

TEST_F(RemoteTest, CableCommandPrintsEveryPieceUpToFinished) {
  start();
  ASSERT_EQ(open(), 0);
  server->inject('c', reply(std::string("line one\n\0Finished\n", 19)));
  CapturedStream out(1);
  EXPECT_EQ(crvcables_remote_operation_client_side(handle.get(), "fw.bin", 'c', 'b', "0"), 0);
  EXPECT_EQ(out.text(), "line one\nFinished\n");
  EXPECT_EQ(server->requests().back(), "c fw.bin b");

  // An empty piece ends the output as well.
  server->inject('c', reply(std::string("done\0", 5)));
  CapturedStream more(1);
  EXPECT_EQ(crvcables_remote_operation_client_side(handle.get(), "x", 'c', 's', "12"), 0);
  EXPECT_EQ(more.text(), "done");
  EXPECT_EQ(server->requests().back(), "c x s 12");
}

}  // namespace
