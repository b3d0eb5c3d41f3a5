#include "http/response.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace qv {
namespace {

const BYTE* Bytes(const std::string& text) {
    return reinterpret_cast<const BYTE*>(text.data());
}

std::string Contents(const ReceiveBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Length());
}

// ---------------------------------------------------------------- ReceiveBuffer

TEST(ReceiveBuffer, KeepsAZeroByteAfterTheDataAcrossGrowth) {
    ReceiveBuffer buffer;
    EXPECT_EQ(buffer.Length(), 0u);
    EXPECT_EQ(buffer.Capacity(), ReceiveBuffer::kInlineSize);
    EXPECT_FALSE(buffer.OnHeap());
    EXPECT_EQ(buffer.Data()[0], 0);

    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        const std::string piece(static_cast<size_t>(i % 7 + 1), static_cast<char>('a' + i % 26));
        ASSERT_TRUE(buffer.Append(Bytes(piece), static_cast<uint32_t>(piece.size())));
        expected += piece;
        ASSERT_EQ(buffer.Data()[buffer.Length()], 0);
        ASSERT_LT(buffer.Length(), buffer.Capacity());
    }
    EXPECT_TRUE(buffer.OnHeap());
    EXPECT_EQ(Contents(buffer), expected);
}

TEST(ReceiveBuffer, FillsTheInlineAreaExactlyBeforeMovingToTheHeap) {
    ReceiveBuffer buffer;
    const std::string first(ReceiveBuffer::kInlineSize - 1, 'x');  // plus the zero byte
    ASSERT_TRUE(buffer.Append(Bytes(first), static_cast<uint32_t>(first.size())));
    EXPECT_FALSE(buffer.OnHeap());
    ASSERT_TRUE(buffer.Append(Bytes("y"), 1));
    EXPECT_TRUE(buffer.OnHeap());
    EXPECT_EQ(Contents(buffer), first + "y");
}

TEST(ReceiveBuffer, ClearKeepsTheHeapBlockForTheNextResponse) {
    ReceiveBuffer buffer;
    const std::string big(10000, 'b');
    ASSERT_TRUE(buffer.Append(Bytes(big), static_cast<uint32_t>(big.size())));
    const uint32_t capacity = buffer.Capacity();
    const BYTE* block = buffer.Data();
    buffer.Clear();
    EXPECT_EQ(buffer.Length(), 0u);
    EXPECT_EQ(buffer.Data()[0], 0);
    EXPECT_EQ(buffer.Capacity(), capacity);
    ASSERT_TRUE(buffer.Append(Bytes("abc"), 3));
    EXPECT_EQ(buffer.Data(), block);
    EXPECT_EQ(Contents(buffer), "abc");
}

TEST(ReceiveBuffer, RefusesALengthThatWouldWrapAndKeepsTheData) {
    ReceiveBuffer buffer;
    ASSERT_TRUE(buffer.Append(Bytes("keep"), 4));
    // The count alone decides: the source is never read.
    EXPECT_FALSE(buffer.Append(Bytes("x"), 0xFFFFFFFFu));
    EXPECT_FALSE(buffer.Append(Bytes("x"), 0xFFFFFFFBu));
    EXPECT_EQ(Contents(buffer), "keep");
    EXPECT_FALSE(buffer.Append(nullptr, 3));
    EXPECT_TRUE(buffer.Append(nullptr, 0));
    EXPECT_EQ(Contents(buffer), "keep");
}

TEST(ReceiveBuffer, ReserveMakesRoomOnceSoAppendsDoNotMoveTheData) {
    ReceiveBuffer buffer;
    ASSERT_TRUE(buffer.Append(Bytes("head"), 4));
    ASSERT_TRUE(buffer.Reserve(1 << 20));
    const BYTE* block = buffer.Data();
    const std::string piece(4096, 'p');
    for (int i = 0; i < 255; ++i) {
        ASSERT_TRUE(buffer.Append(Bytes(piece), 4096));
    }
    EXPECT_EQ(buffer.Data(), block);
    EXPECT_EQ(buffer.Length(), 4u + 255 * 4096);
    EXPECT_EQ(Contents(buffer).substr(0, 5), "headp");
    EXPECT_TRUE(buffer.Reserve(16));  // smaller than held: nothing to do
    EXPECT_EQ(buffer.Data(), block);
}

TEST(ReceiveBuffer, GrowsGeometricallySoLargeBodiesMoveRarely) {
    ReceiveBuffer buffer;
    const std::string piece(4096, 'g');
    int growths = 0;
    for (int i = 0; i < 2048; ++i) {  // 8 MiB in 4 KiB appends
        const uint32_t capacity = buffer.Capacity();
        ASSERT_TRUE(buffer.Append(Bytes(piece), 4096));
        growths += buffer.Capacity() != capacity;
    }
    EXPECT_LT(growths, 30);  // growing by 4096 bytes would take 2048 steps
    EXPECT_LT(buffer.Capacity(), 2u * buffer.Length());
}

TEST(ReceiveBuffer, ReceivesLandInPlaceThroughAppendSpaceAndCommit) {
    ReceiveBuffer buffer;
    ASSERT_TRUE(buffer.Append(Bytes("ab"), 2));
    BYTE* space = buffer.AppendSpace(10000);
    ASSERT_NE(space, nullptr);
    EXPECT_EQ(space, buffer.Data() + 2);
    EXPECT_GE(buffer.Capacity(), 10003u);
    EXPECT_EQ(buffer.Length(), 2u);  // nothing counts until committed
    std::memcpy(space, "cdefXXXX", 8);
    buffer.Commit(4);
    EXPECT_EQ(Contents(buffer), "abcdef");
    EXPECT_EQ(buffer.Data()[6], 0);
    // A failed receive may have scribbled past the data: Commit(0) restores the zero.
    space = buffer.AppendSpace(16);
    space[0] = 'Z';
    buffer.Commit(0);
    EXPECT_EQ(buffer.Data()[6], 0);
    EXPECT_EQ(buffer.AppendSpace(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(Contents(buffer), "abcdef");
}

TEST(ReceiveBuffer, TakeFromMovesHeapAndInlineContents) {
    ReceiveBuffer target;
    const std::string big(9000, 'h');
    ReceiveBuffer heap_source;
    ASSERT_TRUE(heap_source.Append(Bytes(big), 9000));
    const BYTE* block = heap_source.Data();
    ASSERT_TRUE(target.Append(Bytes("old"), 3));
    target.TakeFrom(heap_source);
    EXPECT_EQ(target.Data(), block);
    EXPECT_EQ(Contents(target), big);
    EXPECT_EQ(heap_source.Length(), 0u);
    EXPECT_FALSE(heap_source.OnHeap());

    ReceiveBuffer inline_source;
    const std::string small("small\0x", 7);
    ASSERT_TRUE(inline_source.Append(Bytes(small), 7));
    target.TakeFrom(inline_source);  // into a heap block: copied
    EXPECT_EQ(Contents(target), small);
    EXPECT_EQ(target.Data()[7], 0);
    EXPECT_EQ(inline_source.Length(), 0u);
}

// ---------------------------------------------------------------- HeaderTable

TEST(HeaderTable, FindsNamesInAnyCaseAndJoinsRepeatsWithComma) {
    HeaderTable table;
    table.Add(L"Set-Cookie", L"a=1");
    table.Add(L"content-length", L"5");
    table.Add(L"SET-COOKIE", L"b=2; Path=/");
    ASSERT_NE(table.Find(L"set-cookie"), nullptr);
    EXPECT_EQ(*table.Find(L"sEt-CoOkIe"), L"a=1,b=2; Path=/");
    EXPECT_EQ(*table.Find(L"Content-Length"), L"5");
    EXPECT_EQ(table.Find(L"Content-Type"), nullptr);
    EXPECT_EQ(table.Size(), 2u);
    table.Clear();
    EXPECT_EQ(table.Find(L"content-length"), nullptr);
}

// ---------------------------------------------------------------- Status line

TEST(ParseStatusLine, ReadsTheCodeAfterTheFirstTokenWithoutCheckingIt) {
    const std::string block = "HTTP/1.1 404 Not Found\r\nA: b\r\n\r\n";
    size_t lines = 0;
    EXPECT_EQ(ParseStatusLine(Bytes(block), block.size(), &lines), 404);
    EXPECT_EQ(block.substr(lines), "A: b\r\n\r\n");
    const std::string odd = "ICY \t 200\r\n\r\n";
    EXPECT_EQ(ParseStatusLine(Bytes(odd), odd.size(), &lines), 200);
    EXPECT_EQ(odd.substr(lines), "\r\n");
}

TEST(ParseStatusLine, FailsWithoutDigitsOrLineEndOrOnOverflow) {
    for (const std::string block :
         {"HTTP/1.1 OK\r\n\r\n", "HTTP/1.1\r\nX: 1\r\n\r\n", "HTTP/1.1 -200 OK\r\n\r\n",
          "HTTP/1.1 99999999999 Big\r\n\r\n", "HTTP/1.1 200 no line end", ""}) {
        size_t lines = 0;
        EXPECT_EQ(ParseStatusLine(Bytes(block), block.size(), &lines), -1) << block;
    }
}

TEST(FindHeaderBlockEnd, FindsTheFirstBlankLineFromTheGivenOffset) {
    const std::string data = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\nbody";
    const size_t first = FindHeaderBlockEnd(Bytes(data), data.size(), 0);
    EXPECT_EQ(first, 25u);
    EXPECT_EQ(FindHeaderBlockEnd(Bytes(data), data.size(), first), data.size() - 4);
    EXPECT_EQ(FindHeaderBlockEnd(Bytes(data), data.size() - 6, first), 0u);
    EXPECT_EQ(FindHeaderBlockEnd(Bytes(data), 3, 0), 0u);
}

// ---------------------------------------------------------------- Header lines

std::vector<std::pair<std::string, std::string>> DecodeLines(const std::string& block) {
    std::vector<std::pair<std::string, std::string>> out;
    ForEachHeaderLine(Bytes(block), Bytes(block) + block.size(),
                      [&](const BYTE* begin, const BYTE* end) {
                          std::string_view name, value;
                          if (SplitHeaderLine(begin, end, &name, &value)) {
                              out.emplace_back(std::string(name), std::string(value));
                          }
                      });
    return out;
}

TEST(HeaderLines, KeepFoldedContinuationsAsReceived) {
    const auto lines = DecodeLines(
        "A: one\r\n"
        "Folded: first\r\n  second\r\n\tthird\r\n"
        "B:   padded  \r\n"
        "\r\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], (std::pair<std::string, std::string>{"A", "one"}));
    EXPECT_EQ(lines[1].second, "first\r\n  second\r\n\tthird");
    EXPECT_EQ(lines[2].second, "padded  ");  // trailing white space stays
}

TEST(HeaderLines, IgnoreLinesWithoutColonAndStopAtAZeroByte) {
    EXPECT_EQ(DecodeLines("no colon here\r\nX: 1\r\n\r\n"),
              (std::vector<std::pair<std::string, std::string>>{{"X", "1"}}));
    EXPECT_EQ(DecodeLines(std::string("X: 1\r\n\0Y: 2\r\n\r\n", 16)),
              (std::vector<std::pair<std::string, std::string>>{{"X", "1"}}));
    EXPECT_EQ(DecodeLines("\r\n"), (std::vector<std::pair<std::string, std::string>>{}));
    // The name is not trimmed.
    EXPECT_EQ(DecodeLines("Name : v\r\n\r\n"),
              (std::vector<std::pair<std::string, std::string>>{{"Name ", "v"}}));
}

TEST(HeaderLines, DropOverlongNamesAndValuesAndKeepTheOthers) {
    const std::string name_ok(1023, 'n'), name_long(1024, 'N');
    const std::string value_ok(1023, 'v'), value_long(1024, 'V');
    const auto lines =
        DecodeLines("A: 1\r\n" + name_long + ": x\r\n" + name_ok + ": y\r\n" +
                    "Long: " + value_long + "\r\n" + "Fits: " + value_ok + "\r\nZ: 2\r\n\r\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].first, "A");
    EXPECT_EQ(lines[1].first, name_ok);
    EXPECT_EQ(lines[2].first, "Fits");
    EXPECT_EQ(lines[2].second, value_ok);
    EXPECT_EQ(lines[3].first, "Z");
}

TEST(ParseContentLength, ReadsLeadingDigitsWithSign) {
    EXPECT_EQ(ParseContentLength(L"123"), 123);
    EXPECT_EQ(ParseContentLength(L" 42abc"), 42);
    EXPECT_EQ(ParseContentLength(L"abc"), 0);
    EXPECT_EQ(ParseContentLength(L""), 0);
    EXPECT_EQ(ParseContentLength(L"-1"), -1);
    EXPECT_EQ(ParseContentLength(L"-20"), -20);
    EXPECT_EQ(ParseContentLength(L"+7"), 7);
    EXPECT_EQ(ParseContentLength(L"5,5"), 5);
    EXPECT_EQ(ParseContentLength(L"99999999999999999999999"), INT64_MAX);
}

TEST(ParseContentLengthField, RepeatedValuesMustAgree) {
    const std::vector<std::pair<const wchar_t*, int64_t>> agreeing = {
        {L"7", 7}, {L"7,7", 7}, {L"7, 7", 7}, {L" 12 ,12,12", 12}, {L"x", 0}};
    for (const auto& [value, expected] : agreeing) {
        int64_t length = -5;
        EXPECT_TRUE(ParseContentLengthField(value, &length)) << value;
        EXPECT_EQ(length, expected) << value;
    }
    for (const wchar_t* value : {L"7,3", L"3,7", L"7,7,8", L"7,", L",7", L"7,seven"}) {
        int64_t length = -5;
        EXPECT_FALSE(ParseContentLengthField(value, &length)) << value;
        EXPECT_EQ(length, -5) << value;
    }
}

TEST(ParseContentRange, ReadsFirstLastAndTotalAndRefusesAnythingElse) {
    ContentRange range;
    ASSERT_TRUE(ParseContentRange(L" bytes 2097152-4194303/4194304 ", &range));
    EXPECT_EQ(range.first, 2097152u);
    EXPECT_EQ(range.last, 4194303u);
    EXPECT_EQ(range.total, 4194304);
    ASSERT_TRUE(ParseContentRange(L"bytes 0-0/*", &range));
    EXPECT_EQ(range.total, -1);
    for (const wchar_t* value :
         {L"", L"bytes", L"bytes 5-4/10", L"bytes 0-10/10", L"bytes -1/10", L"bytes 1-/10",
          L"bytes 1-2/", L"bytes 1-2/10x", L"items 1-2/10", L"bytes 1-2", L"bytes 1 - 2/10",
          L"bytes +1-2/10", L"bytes 1-2/1000000000000000000000", L"bytes */10"}) {
        range = {7, 8, 9};
        EXPECT_FALSE(ParseContentRange(value, &range)) << value;
        EXPECT_EQ(range.first, 7u) << value;  // untouched on failure
    }
}

// ---------------------------------------------------------------- Chunked bodies

struct Decoded {
    ChunkDecoder::Status status;
    std::string body;
    std::vector<std::string> trailers;
    size_t unconsumed;  // bytes left after Done
};

// Feeds `input` in the given pieces, as receives would hand it over.
Decoded DecodeChunked(const std::vector<std::string>& pieces, bool expect_trailers,
                      uint32_t max_body = kMaxBodyBytes) {
    ChunkDecoder decoder(expect_trailers, max_body);
    ReceiveBuffer body;
    Decoded out{ChunkDecoder::Status::NeedMore, {}, {}, 0};
    for (size_t p = 0; p < pieces.size(); ++p) {
        const std::string& piece = pieces[p];
        size_t offset = 0;
        for (;;) {
            size_t used = 0;
            out.status = decoder.Feed(Bytes(piece) + offset, piece.size() - offset, body, &used);
            offset += used;
            if (out.status == ChunkDecoder::Status::TrailerLine) {
                out.trailers.emplace_back(decoder.TrailerLine());
                continue;
            }
            break;
        }
        if (out.status == ChunkDecoder::Status::Done) {
            out.unconsumed = piece.size() - offset;
            for (size_t rest = p + 1; rest < pieces.size(); ++rest) {
                out.unconsumed += pieces[rest].size();
            }
            break;
        }
        if (out.status == ChunkDecoder::Status::Failed) {
            break;
        }
    }
    out.body = Contents(body);
    EXPECT_EQ(decoder.BodyLength(), body.Length());
    return out;
}

// The same input whole, split in two at every point, and byte by byte.
void ExpectSameAtEverySplit(const std::string& input, bool expect_trailers,
                            ChunkDecoder::Status status, const std::string& body,
                            const std::vector<std::string>& trailers = {}) {
    std::vector<std::vector<std::string>> splits = {{input}};
    for (size_t i = 1; i < input.size(); ++i) {
        splits.push_back({input.substr(0, i), input.substr(i)});
    }
    std::vector<std::string> single;
    for (char c : input) {
        single.emplace_back(1, c);
    }
    splits.push_back(single);
    for (const auto& pieces : splits) {
        const Decoded decoded = DecodeChunked(pieces, expect_trailers);
        ASSERT_EQ(decoded.status, status) << "first piece " << pieces[0].size();
        ASSERT_EQ(decoded.body, body) << "first piece " << pieces[0].size();
        ASSERT_EQ(decoded.trailers, trailers) << "first piece " << pieces[0].size();
    }
}

TEST(ChunkDecoder, DecodesChunksWithZeroBytesAtEverySplitPoint) {
    const std::string body("ab\0cd\0\0efghij\r\nk", 16);
    const std::string input = std::string("5\r\nab\0cd\r\n", 10) +
                              std::string("A\r\n\0\0efghij\r\n\r\n", 15) + "1\r\nk\r\n" +
                              "0\r\n\r\n";
    ExpectSameAtEverySplit(input, false, ChunkDecoder::Status::Done, body);
}

TEST(ChunkDecoder, PassesTrailerLinesWhenTrailersWereAnnounced) {
    const std::string input = "5\r\nhello\r\n0\r\nX-Sum: 12\r\nX-Other: a\r b\r\n\r\n";
    ExpectSameAtEverySplit(input, true, ChunkDecoder::Status::Done, "hello",
                           {"X-Sum: 12", "X-Other: a\r b"});
    // An empty trailer section.
    ExpectSameAtEverySplit("5\r\nhello\r\n0\r\n\r\n", true, ChunkDecoder::Status::Done, "hello");
}

TEST(ChunkDecoder, ReadsTheTrailerSectionWholeAnnouncedOrNot) {
    // Without announced trailers the lines are dropped, but the section is read through
    // its blank line, and nothing after it.
    ExpectSameAtEverySplit("3\r\nabc\r\n0\r\nX-Late: 1\r\n\r\n", false, ChunkDecoder::Status::Done,
                           "abc");
    const Decoded decoded = DecodeChunked({"3\r\nabc\r\n0\r\n", "\r\nextra"}, false);
    EXPECT_EQ(decoded.status, ChunkDecoder::Status::Done);
    EXPECT_EQ(decoded.body, "abc");
    EXPECT_EQ(decoded.unconsumed, 5u);  // only what follows the blank line stays unread
    EXPECT_EQ(DecodeChunked({"3\r\nabc\r\n0\r\n"}, false).status, ChunkDecoder::Status::NeedMore);
}

TEST(ChunkDecoder, SkipsChunkExtensionsAtEverySplitPoint) {
    ExpectSameAtEverySplit("a;foo=bar\r\n0123456789\r\n2 \t; q=\"x;y\"\r\nab\r\n0;foo=bar\r\n\r\n",
                           false, ChunkDecoder::Status::Done, "0123456789ab");
    // Bounded: the longest extension passes, one byte more fails.
    const std::string longest(ChunkDecoder::kMaxChunkExtension - 1, 'e');
    EXPECT_EQ(DecodeChunked({"1;" + longest + "\r\nz\r\n0\r\n\r\n"}, false).status,
              ChunkDecoder::Status::Done);
    EXPECT_EQ(DecodeChunked({"1;" + longest + "e\r\nz\r\n0\r\n\r\n"}, false).status,
              ChunkDecoder::Status::Failed);
    EXPECT_EQ(DecodeChunked({"0;" + longest + "e\r\n\r\n"}, false).status,
              ChunkDecoder::Status::Failed);
}

TEST(ChunkDecoder, FailsOnMalformedSizeLines) {
    for (const std::string input :
         {"-5\r\nhello\r\n", "\r\nhello\r\n", ";x\r\nhello\r\n", "5;a\nb\r\nhello\r\n",
          " 5\r\nhello\r\n", "5 \r\nhello\r\n", "5 x\r\nhello\r\n", "5\rXhello\r\n",
          "0x5\r\nhello\r\n", "5\r\nhelloX\r\n", "5\r\nhello\rX",
          "00000000000000005\r\nhello\r\n0\r\n"}) {
        const Decoded decoded = DecodeChunked({input}, false);
        EXPECT_EQ(decoded.status, ChunkDecoder::Status::Failed) << input;
    }
}

TEST(ChunkDecoder, FailsOnSizesOverTheBodyLimit) {
    EXPECT_EQ(DecodeChunked({"FFFFFFFFFFFFFFFF\r\n"}, false).status, ChunkDecoder::Status::Failed);
    EXPECT_EQ(DecodeChunked({"40000001\r\n"}, false).status, ChunkDecoder::Status::Failed);
    // The limit counts the total of all chunks.
    EXPECT_EQ(DecodeChunked({"8\r\n12345678\r\n8\r\n12345678\r\n0\r\n\r\n"}, false, 16).status,
              ChunkDecoder::Status::Done);
    EXPECT_EQ(DecodeChunked({"8\r\n12345678\r\n9\r\n"}, false, 16).status,
              ChunkDecoder::Status::Failed);
}

TEST(ChunkDecoder, DropsOverlongTrailerLinesAndBoundsTheTrailerSection) {
    const std::string long_line = "X-Long: " + std::string(3000, 'v');
    const Decoded kept = DecodeChunked({"0\r\n" + long_line + "\r\nX-Short: 1\r\n\r\n"}, true);
    EXPECT_EQ(kept.status, ChunkDecoder::Status::Done);
    EXPECT_EQ(kept.trailers, (std::vector<std::string>{"X-Short: 1"}));

    std::string endless = "0\r\n";
    while (endless.size() < kMaxHeaderBlockBytes + 100) {
        endless += "X-Pad: " + std::string(100, 'p') + "\r\n";
    }
    EXPECT_EQ(DecodeChunked({endless}, true).status, ChunkDecoder::Status::Failed);
}

ChunkDecoder::Status Feed(ChunkDecoder& decoder, const std::string& input, ReceiveBuffer& body) {
    size_t used = 0;
    const ChunkDecoder::Status status = decoder.Feed(Bytes(input), input.size(), body, &used);
    EXPECT_EQ(used, input.size());
    return status;
}

TEST(ChunkDecoder, FinishAcceptsOnlyAnEndRightAfterTheLastChunk) {
    ReceiveBuffer body;
    {
        ChunkDecoder decoder(false);
        EXPECT_EQ(Feed(decoder, "2\r\nab\r\n0\r", body), ChunkDecoder::Status::NeedMore);
        EXPECT_EQ(decoder.Finish(), ChunkDecoder::Status::Done);
    }
    {
        ChunkDecoder decoder(false);
        EXPECT_EQ(Feed(decoder, "2\r\nab", body), ChunkDecoder::Status::NeedMore);
        EXPECT_EQ(decoder.Finish(), ChunkDecoder::Status::Failed);
    }
    {
        ChunkDecoder decoder(true);  // trailers announced: their blank line must come
        EXPECT_EQ(Feed(decoder, "0\r\n", body), ChunkDecoder::Status::NeedMore);
        EXPECT_EQ(decoder.Finish(), ChunkDecoder::Status::Failed);
    }
}

}  // namespace
}  // namespace qv
