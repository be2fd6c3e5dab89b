// Lines, exact reads, writes and numeric replies over a scripted channel:
// the connection's own logic without a network.
#include <gtest/gtest.h>

#include <memory>

#include "net/tcp_client.h"
#include "support/scripted_io_handler.h"

namespace tallyvox::net {
namespace {

using testing::TNetScriptedIOHandler;

class ScriptedConnection : public ::testing::Test {
 protected:
  // Opens a client over a scripted channel fed with `chunks`.
  void Open(const std::vector<std::string>& chunks) {
    for (const auto& c : chunks) channel_.AddInput(c);
    client_.SetIOHandler(&channel_);
    client_.Host = "127.0.0.1";
    client_.OpenConnection(0);
  }
  TNetScriptedIOHandler channel_;
  TNetTCPClient client_;
};

TEST_F(ScriptedConnection, LineEndings) {
  struct Case {
    std::string bytes;
    std::string line;
  };
  const Case cases[] = {
      {"abc\r\n", "abc"},
      {"abc\n", "abc"},
      {"abc\r\r\n", "abc\r"},
      {"\r\n", ""},
  };
  for (const Case& c : cases) {
    TNetScriptedIOHandler ch;
    ch.AddInput(c.bytes);
    ch.AddInput("next\n");
    TNetTCPClient cl;
    cl.SetIOHandler(&ch);
    cl.OpenConnection(0);
    EXPECT_EQ(cl.ReadLine(), c.line);
    EXPECT_EQ(cl.ReadLine(), "next");
  }
}

TEST_F(ScriptedConnection, LineSplitOverReceivesAndOwnTerminator) {
  // The terminator straddles two receives; the search resumes correctly.
  Open({"hel", "lo\r", "\nfoo||bar|", "|rest"});
  EXPECT_EQ(client_.ReadLine(), "hello");
  EXPECT_EQ(client_.ReadLine("||"), "foo");
  EXPECT_EQ(client_.ReadLine("||"), "bar");
  EXPECT_EQ(client_.BufferedInputSize(), 4);
}

TEST_F(ScriptedConnection, MaxLineLengthBoundary) {
  // Exactly MaxLineLength bytes before the terminator pass, one more raises.
  Open({std::string(16384, 'a') + "\n", std::string(16385, 'b') + "\n"});
  EXPECT_EQ(client_.ReadLine().size(), 16384u);
  EXPECT_THROW(client_.ReadLine(), ENetReadLnMaxLineLengthExceeded);
  // The refused line is still in the buffer: nothing was lost.
  EXPECT_EQ(client_.BufferedInputSize(), 16386);
}

TEST_F(ScriptedConnection, TooLongLineWithoutTerminatorRaisesBeforeItEnds) {
  channel_.SetHangAtEnd(true);  // the terminator never comes
  client_.ReadTimeout = 50;
  Open({std::string(100, 'x')});
  EXPECT_THROW(client_.ReadLine("\n", -1, 99), ENetReadLnMaxLineLengthExceeded);
  EXPECT_THROW(client_.ReadLine("\n", -1, 100), ENetReadTimeout);
}

TEST_F(ScriptedConnection, SplitModeReturnsPiecesOfMaxLength) {
  client_.MaxLineAction = TNetMaxLineAction::maSplit;
  client_.MaxLineLength = 4;
  Open({"abcdefghij\n"});
  EXPECT_EQ(client_.ReadLine(), "abcd");
  EXPECT_EQ(client_.ReadLine(), "efgh");
  EXPECT_EQ(client_.ReadLine(), "ij");
}

TEST_F(ScriptedConnection, PeerCloseInsidePartialLine) {
  Open({"partial", ""});
  // The close with a partial line buffered ends the call with an empty line;
  // the next read raises.
  EXPECT_EQ(client_.ReadLine(), "");
  EXPECT_THROW(client_.ReadLine(), ENetConnClosedGracefully);
  EXPECT_FALSE(client_.IsOpen());
}

TEST_F(ScriptedConnection, RepliesOfTheLineProtocol) {
  Open({"250-a\r\n250-b\r\n250 c\r\n", "220\r\n", "\r\n  \r\n221 bye\r\n",
        "251-x\r\n251-y\r\nzz\r\n251 late\r\n", "abc\r\n"});
  EXPECT_EQ(client_.ReadReply(), 250);
  EXPECT_EQ(client_.LastReply().Text, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(client_.ReadReply({220}), 220);
  EXPECT_EQ(client_.LastReply().TextCode, "220");
  EXPECT_EQ(client_.LastReply().Text, std::vector<std::string>{""});
  EXPECT_EQ(client_.ReadReply(), 221);  // blank lines skipped
  // A continuation ends early at a line shorter than 4 characters.
  EXPECT_EQ(client_.ReadReply(), 251);
  EXPECT_EQ(client_.LastReply().Text, (std::vector<std::string>{"x", "y", ""}));
  EXPECT_EQ(client_.ReadReply(), 251);  // "251 late" is a reply of its own
  try {
    client_.ReadReply({220});
    FAIL() << "code 0 must be refused";
  } catch (const ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyErrorCode(), 0);
    EXPECT_STREQ(e.what(), "\r\n");
  }
}

TEST_F(ScriptedConnection, ReplyLinesAreCapped) {
  std::string many;
  for (size_t i = 1; i < TNetTCPConnection::kMaxReplyLines; ++i) many += "250-line\r\n";
  Open({many + "250 last\r\n", many + "250-one too many\r\n250 last\r\n"});
  EXPECT_EQ(client_.ReadReply({250}), 250);
  EXPECT_EQ(client_.LastReply().Text.size(), TNetTCPConnection::kMaxReplyLines);
  try {
    client_.ReadReply({250});
    FAIL() << "a reply of 1001 lines was taken";
  } catch (const ENetReplyTooLong& e) {
    EXPECT_STREQ(e.what(), "Reply has more than 1000 lines.");
  }
}

TEST_F(ScriptedConnection, SendCommandWritesTheLineAndChecksTheCode) {
  Open({"250 ok\r\n", "550-no\r\n550 such user\r\n", "354 go\r\n"});
  EXPECT_EQ(client_.SendCommand("MAIL FROM:<a@b>", 250), 250);
  try {
    client_.SendCommand("RCPT TO:<x@y>", std::vector<int16_t>{250, 251});
    FAIL();
  } catch (const ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyErrorCode(), 550);
    EXPECT_STREQ(e.what(), "no\r\nsuch user\r\n");
  }
  EXPECT_EQ(client_.SendCommand("DATA"), 354);  // -1: any code
  EXPECT_EQ(channel_.Sent(), "MAIL FROM:<a@b>\r\nRCPT TO:<x@y>\r\nDATA\r\n");
}

TEST_F(ScriptedConnection, WritesAndWriteBuffering) {
  Open({});
  client_.WriteText("");
  EXPECT_EQ(channel_.Sent(), "");
  client_.WriteLine("");
  EXPECT_EQ(channel_.Sent(), "\r\n");
  channel_.ClearSent();
  client_.StartWriteBuffering(-1);
  client_.WriteText("head");
  client_.WriteInt32(0x01020304);
  client_.WriteLines({"x", "y"}, true);
  EXPECT_EQ(channel_.Sent(), "");  // nothing leaves before the end
  client_.EndWriteBuffering();
  EXPECT_EQ(channel_.Sent(), std::string("head\x01\x02\x03\x04\0\0\0\x02x\r\ny\r\n", 18));
  EXPECT_FALSE(client_.WriteBuffering());
  // With a threshold, whole threshold-sized blocks leave as they fill.
  channel_.ClearSent();
  client_.StartWriteBuffering(4);
  client_.WriteText("abc");
  EXPECT_EQ(channel_.Sent(), "");
  client_.WriteText("defgh");
  EXPECT_EQ(channel_.Sent(), "abcd");
  client_.WriteBytes("!", 1, true);  // write-now bypasses the buffer
  EXPECT_EQ(channel_.Sent(), "abcd!");
  client_.EndWriteBuffering();
  EXPECT_EQ(channel_.Sent(), "abcd!efgh");
}

TEST_F(ScriptedConnection, EndWriteBufferingDropsTheBufferEvenWhenTheSendFails) {
  Open({});
  client_.StartWriteBuffering(-1);
  client_.WriteText("abc");
  channel_.SetSendError(10054);
  EXPECT_THROW(client_.EndWriteBuffering(), ENetSocketError);
  EXPECT_FALSE(client_.WriteBuffering());
  EXPECT_FALSE(client_.IsOpen());  // reset by peer drops the socket
}

TEST_F(ScriptedConnection, StreamsCountedAndWithCount) {
  Open({std::string("\0\0\0\x05", 4) + "hello" + "world", "!"});
  TNetMemoryStream s;
  client_.ReadToStream(s);  // count read first
  EXPECT_EQ(s.ToString(), "hello");
  TNetMemoryStream t;
  t.Write("XYZ", 3);
  t.SetPosition(1);
  client_.ReadToStream(t, 6, false);
  EXPECT_EQ(t.ToString(), "Xworld!");  // written at the position, cut there

  TNetMemoryStream out("0123456789");
  client_.WriteFromStream(out, true, true, 0);
  client_.WriteFromStream(out, true, false, 3);
  EXPECT_EQ(channel_.Sent(), std::string("\0\0\0\x0a", 4) + "0123456789" + "012");
}

TEST_F(ScriptedConnection, AnnouncedLengthDoesNotAllocateAheadOfData) {
  // The peer announces almost 2 GB and sends ten bytes before closing.
  Open({std::string("\x7f\xff\xff\xf0", 4) + "0123456789", ""});
  TNetMemoryStream s;
  EXPECT_THROW(client_.ReadToStream(s), ENetConnClosedGracefully);
  EXPECT_LT(s.Capacity(), 1u << 20);
}

TEST_F(ScriptedConnection, ReadOnClosedConnection) {
  Open({});
  client_.CloseConnection();
  char b[4];
  EXPECT_THROW(client_.ReadBytes(b, 4), ENetConnClosedGracefully);
  EXPECT_THROW(client_.WriteText("x"), ENetConnClosedGracefully);
  EXPECT_EQ(client_.ReceiveMore(false, 0, false), 0);
  // A shared channel stays attached after CloseConnection.
  EXPECT_EQ(client_.IOHandler(), &channel_);
}

TEST_F(ScriptedConnection, ReadNonEmptyLineGivesUpAfterMaxTries) {
  Open({"\r\n\r\n\r\nx\r\n"});
  EXPECT_EQ(client_.ReadNonEmptyLine(2), "");
  EXPECT_EQ(client_.ReadNonEmptyLine(5), "x");
}

}  // namespace
}  // namespace tallyvox::net
