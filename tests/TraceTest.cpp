// The trace writer against a pipe whose reader the test plays: which lines it drops
// when the reader falls behind and how it reports them, what it escapes, and how it
// ends with a reader that never reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include <event2/event.h>

#include "base/Trace.h"

namespace
{

// A writer of `capacity` bytes on a pipe of one page, watched by a loop of its own.
struct Piped
{
    explicit Piped(size_t capacity)
        : writer((pipe(fds), fcntl(fds[1], F_SETPIPE_SZ, 4096), fds[1]), capacity)
    {
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        writer.Watch(pBase);
    }
    ~Piped()
    {
        writer.Release();
        event_base_free(pBase);
        close(fds[0]);
        close(fds[1]);
    }

    // Leaves the pipe no room; what it took is not part of the output.
    void Fill()
    {
        const std::string page(4096, 'f');
        for (ssize_t n = 0; n >= 0; n = write(fds[1], page.data(), page.size()))
            filled += n;
    }
    void Write(const std::string& text) { writer.Write(text.data(), text.size()); }
    // As the service's loop does, the writer is flushed once per pass; in between, the
    // reader takes everything, and the pipe's room is the loop's to notice.
    std::string CatchUp()
    {
        for (writer.Flush(); Read(), writer.Pending() > 0; writer.Flush())
            EXPECT_EQ(event_base_loop(pBase, EVLOOP_ONCE), 0) << "nothing watches the full pipe";
        return received.substr(filled);
    }
    void Read()
    {
        char chunk[8192];
        for (ssize_t n = 0; n >= 0; n = read(fds[0], chunk, sizeof chunk))
            received.append(chunk, n);
    }

    int fds[2];
    event_base* pBase = event_base_new();
    Trace::Writer writer;
    size_t filled = 0;
    std::string received;
};

// "|" stands for the reader catching up.
TEST(TraceWriter, DropsWholeLinesWhileTheReaderIsBehindAndReportsThemBeforeTheNextLine)
{
    const std::string a(100, 'a'), b(60, 'b');
    const std::tuple<size_t, std::vector<std::string>, std::string> cases[] = {
        {40,
         {"first line\n", "second line, longer than the room\n", "a line of 13\n", "4\n", "|", "5\n"},
         "first line\nTrace: [34] bytes dropped\nTrace: [15] bytes dropped\n5\n"},
        // The head of a line that does not fit is taken back, and no more.
        {40,
         {"kept\n", "taken ", "back, as the rest does not fit in here\n", "next\n"},
         "kept\nTrace: [45] bytes dropped\nnext\n"},
        {400, {a + "\n" + b, std::string(300, 'c') + "\n", "next\n"}, a + "\nTrace: [361] bytes dropped\nnext\n"},
        {40,
         {"one\ntwo\nthis third line is too long to fit here\nfour\n"},
         "one\ntwo\nTrace: [40] bytes dropped\nfour\n"},
        {40, {"in\n", "|", "room\n"}, "in\nroom\n"},
    };
    for (const auto& [capacity, pieces, expected] : cases)
    {
        Piped piped(capacity);
        piped.Fill();
        for (const std::string& piece : pieces)
            piece == "|" ? (void)piped.CatchUp() : piped.Write(piece);
        EXPECT_EQ(piped.CatchUp(), expected) << pieces[0];
    }
}

TEST(TraceWriter, EndsALinePartlyWrittenAndWritesWhatTheReaderTakesWhole)
{
    Piped piped(40);
    piped.Write("head ");
    piped.Write(std::string(10000, 'x'));
    piped.Write(" tail\nnext\n");
    const std::string out = piped.CatchUp();
    const size_t written = out.find_first_not_of('x', 5) - 5;
    ASSERT_GT(written, 0u);
    EXPECT_EQ(out, "head " + std::string(written, 'x') + "\nTrace: [" + std::to_string(10000 - written + 5) +
                       "] bytes dropped\nnext\n");

    // A file takes everything at once: nothing is dropped, however small the buffer.
    FILE* pFile = tmpfile();
    Trace::Writer file(fileno(pFile), 40);
    file.Watch(piped.pBase);
    const std::string line = std::string(100000, 'y') + "\n";
    file.Write(line.data(), line.size());
    file.Flush();
    std::string back(line.size() + 1, '\0');
    EXPECT_EQ(pread(fileno(pFile), &back[0], back.size(), 0), static_cast<ssize_t>(line.size()));
    EXPECT_EQ(back.substr(0, line.size()), line);
    file.Release();
    fclose(pFile);
}

TEST(TraceWriter, EscapesControlCharactersOtherThanNewlineAndTab)
{
    const std::string block(64, '.');
    std::string escapedRun;
    for (int i = 0; i < 20000; ++i)
        escapedRun += "\\x01";
    const std::pair<std::string, std::string> cases[] = {
        {std::string("a\rb\x1b]0;\x07\x7f\t\\x41 \x80\xc3\xa9\0z\n", 21),
         "a\\x0Db\\x1B]0;\\x07\\x7F\t\\x41 \x80\xc3\xa9\\x00z\n"},
        {block + "\x1f" + block + block + "\x01", block + "\\x1F" + block + block + "\\x01"},
        {block + block + "\n\t" + block, block + block + "\n\t" + block},
        {std::string(20000, '\x01'), escapedRun},
    };
    for (const auto& [text, expected] : cases)
    {
        Piped piped(1 << 20);
        piped.Write(text);
        EXPECT_EQ(piped.CatchUp(), expected);
    }
}

// Even with the loop's event still waiting for room, the end writes what the reader
// takes, and no longer than its patience when it takes nothing.
TEST(TraceWriter, EndsWithWhatTheReaderTakesAndGivesTheDescriptorItsModeBack)
{
    for (const bool reading : {true, false})
    {
        Piped piped(1 << 20);
        piped.Fill();
        piped.Write("last line\n");
        piped.writer.Flush();
        if (reading)
            piped.Read();
        piped.writer.Finish(reading ? 5000 : 50);
        EXPECT_EQ(piped.writer.Pending(), 0u);
        EXPECT_EQ(piped.writer.Dropped(), reading ? 0u : 10u);
        piped.Read();
        EXPECT_EQ(piped.received.substr(piped.filled), reading ? "last line\n" : "");
        EXPECT_EQ(fcntl(piped.fds[1], F_GETFL) & O_NONBLOCK, 0);
    }
}

} // namespace
