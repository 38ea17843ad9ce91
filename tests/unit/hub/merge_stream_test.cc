// The stream merge with fake paths: frames as streamhop writes them (the
// header, then 1 to 1400 bytes), fed in pieces of any size, so that reads
// end inside headers and frames.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "hub/merge.h"

namespace {

const uint8_t kHead[28] = {'k', 'o', 'v', 'l', 'a', 't', 0x00, 0x11, 0x22, 0x33,
                           0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd,
                           0xee, 0xff, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

std::string delivered;

// Where two long texts part (their sizes and the first differing offset),
// instead of printing megabytes.
::testing::AssertionResult same(const std::string &want, const std::string &got)
{
    if (want == got)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i])
        i++;
    return ::testing::AssertionFailure() << "want " << want.size() << " bytes, got " << got.size()
                                         << ", first difference at " << i;
}

void collect(MergeStream *, const uint8_t *p, size_t n)
{
    delivered.append(reinterpret_cast<const char *>(p), n);
}

// The client's stream, as frames.
struct Frames {
    std::vector<std::string> f;
    std::string joined(size_t from = 0, size_t to = SIZE_MAX) const
    {
        std::string s;
        for (size_t i = from; i < f.size() && i < to; i++)
            s += f[i];
        return s;
    }
};

uint32_t rnd_state = 12345;
uint32_t rnd()
{
    rnd_state = rnd_state * 1103515245u + 12345u;
    return rnd_state >> 8;
}

// n distinct frames of lengths 1..1400 (text with 'k's in it, so that the
// splitter meets many a false start of the header).
Frames distinct(size_t n, size_t maxlen = kMergeFrameMax)
{
    Frames fr;
    for (size_t i = 0; i < n; i++) {
        size_t len = 1 + rnd() % maxlen;
        std::string s;
        char tag[32];
        snprintf(tag, sizeof tag, "<%zu>", i);
        while (s.size() < len)
            s += tag + std::string("kovl") + char('a' + rnd() % 26);
        s.resize(len);
        fr.f.push_back(s);
    }
    return fr;
}

// One path's wire bytes from frame `from` on: every frame behind the header;
// the header of the first one the core has already taken.
std::string wire(const Frames &fr, size_t from, size_t to = SIZE_MAX)
{
    std::string w;
    for (size_t i = from; i < fr.f.size() && i < to; i++) {
        if (i != from)
            w.append(reinterpret_cast<const char *>(kHead), 28);
        w += fr.f[i];
    }
    return w;
}

// A fake path: its wire bytes and how far they have been fed.
struct Fake {
    MergePath p;
    std::string w;
    size_t fed = 0;
    std::string held;
    Fake() { memset(&p, 0, sizeof p); }
    ~Fake()
    {
        bfree(&p.pend);
        free(p.plen);
    }
    bool done() const { return fed >= w.size(); }
    // Feeds up to n more bytes, held bytes in front as the relay does.
    void feed(MergeStream *s, size_t n)
    {
        if (n > w.size() - fed)
            n = w.size() - fed;
        std::string buf = held + w.substr(fed, n);
        fed += n;
        size_t keep = mstream_input(s, &p, reinterpret_cast<const uint8_t *>(buf.data()),
                                    buf.size());
        held = buf.substr(buf.size() - keep);
    }
    // Feeds the frame-aligned wire of `k` whole frames (for fine control).
    void feed_all(MergeStream *s)
    {
        while (!done())
            feed(s, 1 + rnd() % 3000);
    }
    // Nothing more comes: held bytes are payload after all.
    void flush(MergeStream *s)
    {
        if (!held.empty())
            mstream_flush_held(s, &p, reinterpret_cast<const uint8_t *>(held.data()),
                               held.size());
        held.clear();
    }
};

class MergeStreamTest : public ::testing::Test {
protected:
    MergeStream s;
    void SetUp() override
    {
        delivered.clear();
        memset(&s, 0, sizeof s);
        mstream_init(&s, kHead, collect, "test");
    }
    void TearDown() override { mstream_free(&s); }
    void add(Fake &f, const Frames &fr, size_t from, size_t to = SIZE_MAX)
    {
        f.w = wire(fr, from, to);
        mstream_path_add(&s, &f.p);
    }
};

TEST_F(MergeStreamTest, OnePathDeliversEveryFrameInAnyPieces)
{
    Frames fr = distinct(3000);
    Fake a;
    add(a, fr, 0);
    a.feed_all(&s);
    a.flush(&s);
    EXPECT_EQ(MERGE_PLACED, a.p.state);
    EXPECT_TRUE(same(fr.joined(), delivered));
    EXPECT_EQ(3000u, s.frames_delivered);
}

TEST_F(MergeStreamTest, TwoPathsFromTheStartDeliverOnceWhateverTheirPace)
{
    Frames fr = distinct(4000);
    Fake a, b;
    add(a, fr, 0);
    add(b, fr, 0);
    while (!a.done() || !b.done()) {
        a.feed(&s, rnd() % 5000);
        b.feed(&s, rnd() % 5000);
    }
    a.flush(&s);
    b.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
    EXPECT_EQ(MERGE_PLACED, a.p.state);
    EXPECT_EQ(MERGE_PLACED, b.p.state);
    // Each frame once too many (the last one of each path never ends).
    EXPECT_EQ(3998u, mstream_copies_dropped(&s));
}

TEST_F(MergeStreamTest, ALateBehindPathIsPlacedAndTakesOverWhenTheLeaderFails)
{
    Frames fr = distinct(2000);
    Fake a, b;
    add(a, fr, 0, 1500);  // a fails after frame 1500 (mid-frame below)
    a.w.resize(a.w.size() - 3);
    a.feed_all(&s);
    // b connected at frame 200 and its frames come late.
    add(b, fr, 200);
    b.feed(&s, 30000);
    EXPECT_EQ(MERGE_PLACED, b.p.state);
    mstream_path_remove(&s, &a.p);
    b.feed_all(&s);
    b.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
    EXPECT_EQ(0u, s.ambiguous);
}

TEST_F(MergeStreamTest, APathAheadWaitsThenLeads)
{
    Frames fr = distinct(1000);
    Fake a, b;
    add(a, fr, 0);
    a.feed(&s, wire(fr, 0, 100).size());
    add(b, fr, 300);  // its first frames are not delivered yet
    b.feed(&s, 60000);
    EXPECT_EQ(MERGE_UNPLACED, b.p.state);
    EXPECT_TRUE(same(fr.joined(0, 100), delivered + a.held));
    // a catches up past what b holds: b is placed and delivers the rest.
    while (b.p.state == MERGE_UNPLACED && !a.done())
        a.feed(&s, 1000);
    ASSERT_EQ(MERGE_PLACED, b.p.state);
    b.feed_all(&s);
    b.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
    a.feed_all(&s);  // a, behind now, repeats nothing
    a.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
    EXPECT_EQ(MERGE_PLACED, a.p.state);
}

TEST_F(MergeStreamTest, APathAheadWhenTheOnlyOtherFailsIsPlacedAtTheHead)
{
    Frames fr = distinct(600);
    Fake a, b;
    add(a, fr, 0, 100);
    a.feed_all(&s);
    a.flush(&s);
    add(b, fr, 300);
    b.feed(&s, 20000);
    EXPECT_EQ(MERGE_UNPLACED, b.p.state);
    mstream_path_remove(&s, &a.p);
    EXPECT_EQ(MERGE_PLACED, b.p.state);
    b.feed_all(&s);
    b.flush(&s);
    // Frames 100..299 were on a alone: lost, nothing twice.
    EXPECT_TRUE(same(fr.joined(0, 100) + fr.joined(300), delivered));
}

TEST_F(MergeStreamTest, TheLeaderFailingInsideAFrameCostsNothing)
{
    Frames fr = distinct(500);
    Fake a, b;
    add(a, fr, 0);
    add(b, fr, 0);
    b.feed(&s, 10000);
    // a delivers up to the middle of a frame and fails.
    size_t cut = wire(fr, 0, 300).size() + 28 + fr.f[300].size() / 2;
    a.feed(&s, cut);
    mstream_path_remove(&s, &a.p);
    b.feed_all(&s);
    b.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
}

TEST_F(MergeStreamTest, APathThatDivergesIsFailed)
{
    Frames fr = distinct(100);
    Frames other = fr;
    other.f[50] = "not what the other path sent";
    Fake a, b;
    add(a, fr, 0);
    add(b, other, 0);
    a.feed_all(&s);
    b.feed_all(&s);
    EXPECT_EQ(MERGE_PLACED, a.p.state);
    ASSERT_EQ(MERGE_FAILED, b.p.state);
    EXPECT_STREQ("differs from the delivered stream", b.p.why);
    a.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
}

TEST_F(MergeStreamTest, ProtocolErrorsFailThePath)
{
    Fake a;
    mstream_path_add(&s, &a.p);
    std::string big(1401, 'x');
    a.w = big;
    a.feed_all(&s);
    EXPECT_EQ(MERGE_FAILED, a.p.state);
    EXPECT_STREQ("sent a frame longer than 1400 bytes", a.p.why);

    Fake b;
    mstream_path_add(&s, &b.p);
    b.w = std::string(reinterpret_cast<const char *>(kHead), 28) + "x";
    b.feed_all(&s);
    EXPECT_EQ(MERGE_FAILED, b.p.state);
    EXPECT_STREQ("sent an empty frame", b.p.why);
}

TEST_F(MergeStreamTest, AFullFrameIsFollowedByAHeaderOnly)
{
    Frames fr;
    fr.f = {std::string(1400, 'a'), std::string(1400, 'b'), "c"};
    Fake a;
    add(a, fr, 0);
    a.feed_all(&s);
    a.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
}

TEST_F(MergeStreamTest, BytesThatMayBeginAHeaderWaitUntilTheyAreKnown)
{
    Fake a;
    mstream_path_add(&s, &a.p);
    a.w = std::string("ok") + std::string(reinterpret_cast<const char *>(kHead), 28) + "kov";
    a.feed(&s, 5);  // "ok" + "kov" of the header
    EXPECT_EQ("ok", delivered);
    EXPECT_EQ("kov", a.held);
    a.feed(&s, 25);  // the rest of the header
    EXPECT_EQ("ok", delivered);
    a.feed(&s, 3);  // "kov": payload or a header's start
    EXPECT_EQ("ok", delivered);
    a.flush(&s);  // nothing followed: payload
    EXPECT_EQ("okkov", delivered);
    EXPECT_EQ(2u, s.frames_delivered);
}

TEST_F(MergeStreamTest, APathTooFarBehindFallsOutOfTheHistory)
{
    Frames fr = distinct(16000);  // about 11 MB, more than the history
    Fake a, b;
    add(a, fr, 0);
    add(b, fr, 0);
    size_t ten = wire(fr, 0, 10).size();
    a.feed(&s, ten);
    b.feed(&s, ten);
    EXPECT_EQ(MERGE_PLACED, b.p.state);
    a.feed_all(&s);
    EXPECT_EQ(MERGE_PLACED, a.p.state);
    EXPECT_EQ(MERGE_FAILED, b.p.state);
    a.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
}

TEST_F(MergeStreamTest, AnUnplacedPathIsFullAtItsBound)
{
    Frames fr = distinct(2000);
    Fake a, b;
    add(a, fr, 0, 10);
    a.feed_all(&s);
    add(b, fr, 1000);
    while (!mstream_path_full(&b.p) && !b.done())
        b.feed(&s, 4096);
    EXPECT_TRUE(mstream_path_full(&b.p));
    EXPECT_LT(b.p.pend.len, (int)(kMergePendingBytes + 4096));
}

// Repeated content: the same message many times, so that frames repeat.
Frames repeated(size_t n, const std::string &msg)
{
    Frames fr;
    for (size_t i = 0; i < n; i++)
        fr.f.push_back(msg);
    return fr;
}

TEST_F(MergeStreamTest, AnAmbiguousFailoverIsCountedAndRepeatsNothing)
{
    std::string msg(100, 'm');
    Frames fr = repeated(200, msg);
    Fake a, b;
    add(a, fr, 0, 150);
    a.feed_all(&s);
    a.flush(&s);
    add(b, fr, 120);  // joined late; every frame alike: no one place
    b.feed(&s, 129 * 20);
    EXPECT_EQ(MERGE_UNPLACED, b.p.state);
    mstream_path_remove(&s, &a.p);
    EXPECT_EQ(1u, s.ambiguous);
    EXPECT_EQ(MERGE_PLACED, b.p.state);
    b.feed_all(&s);
    b.flush(&s);
    EXPECT_LE(delivered.size(), fr.joined().size());
    EXPECT_EQ(0u, delivered.size() % 100);
    EXPECT_EQ(std::string(delivered.size(), 'm'), delivered);
}

TEST_F(MergeStreamTest, AfterAnAmbiguousFailoverDistinctFramesComeOnceAndInOrder)
{
    // Distinct frames, then alike ones, then distinct ones again.
    Frames fr = distinct(50);
    Frames rep = repeated(60, std::string(70, 'r'));
    Frames tail = distinct(50);
    fr.f.insert(fr.f.end(), rep.f.begin(), rep.f.end());
    fr.f.insert(fr.f.end(), tail.f.begin(), tail.f.end());
    Fake a, b;
    add(a, fr, 0, 90);
    a.feed_all(&s);
    a.flush(&s);
    add(b, fr, 70);
    b.feed(&s, 98 * 5);
    mstream_path_remove(&s, &a.p);
    EXPECT_EQ(1u, s.ambiguous);
    b.feed_all(&s);
    b.flush(&s);
    // The distinct head, alike frames (no more than were sent), the
    // distinct tail whole and once.
    std::string head = fr.joined(0, 50), last = fr.joined(110);
    ASSERT_GE(delivered.size(), head.size() + last.size());
    EXPECT_TRUE(same(head, delivered.substr(0, head.size())));
    EXPECT_TRUE(same(last, delivered.substr(delivered.size() - last.size())));
    size_t middle = delivered.size() - head.size() - last.size();
    EXPECT_LE(middle, 60u * 70);
    EXPECT_EQ(std::string(middle, 'r'), delivered.substr(head.size(), middle));
}

TEST_F(MergeStreamTest, AnAmbiguousPathIsReadOnWhileTheLeaderLives)
{
    // Alike frames: the late path fits everywhere, so it stays unplaced,
    // but it keeps only what it may hold and is never full.
    Frames fr = repeated(3000, std::string(1400, 'q'));
    Fake a, b;
    add(a, fr, 0);
    add(b, fr, 100);
    a.feed(&s, 1428 * 400);
    while (!b.done()) {
        b.feed(&s, 1428 * 7);
        a.feed(&s, 1428 * 7);
        ASSERT_FALSE(mstream_path_full(&b.p));
        ASSERT_EQ(MERGE_UNPLACED, b.p.state);
    }
    a.feed_all(&s);
    a.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
    EXPECT_EQ(0u, s.ambiguous);
}

TEST_F(MergeStreamTest, AlikeFramesFromTheStartArePlacedExactlyAtAFailover)
{
    // Both paths from the start: the earliest reading is the true one.
    Frames fr = repeated(300, std::string(1400, 'z'));
    Fake a, b;
    add(a, fr, 0, 200);
    add(b, fr, 0);
    a.feed_all(&s);
    b.feed(&s, 1428 * 50);
    mstream_path_remove(&s, &a.p);
    b.feed_all(&s);
    b.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
}

TEST_F(MergeStreamTest, ManyTinyFramesKeepTheHistoryBoundedAndExact)
{
    Frames fr = distinct(300000, 8);
    Fake a, b;
    add(a, fr, 0);
    add(b, fr, 0);
    while (!a.done() || !b.done()) {
        a.feed(&s, 20000);
        b.feed(&s, 19000);
    }
    a.flush(&s);
    b.flush(&s);
    EXPECT_TRUE(same(fr.joined(), delivered));
    EXPECT_LE(s.ent_cap, kMergeHistoryFrames);
}

}  // namespace
