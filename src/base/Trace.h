#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

struct evbuffer;
struct event;
struct event_base;

// The trace: plain lines on standard output. Every object writes its lines through
// one writer of its own, and they all end here.
namespace Trace
{
// A formatted piece of a line, or several lines.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintV(const char* format, va_list arguments);
// A body (of a request, a reply or a cloud call), byte for byte but for control
// characters, which are escaped as everywhere; "[redacted N bytes]" in redacted mode.
void Body(const char* data, size_t size);
void Body(evbuffer* pBody);
// One header line; in redacted mode Authorization's value is replaced by its length,
// and the subscriber's MSISDN and mailbox are masked.
void Header(const char* name, const char* value);
// A request's target as the trace shows it: in redacted mode without its query.
std::string Target(const char* target);
// `text` with every control character, newline and tab included, as \xHH: one line
// whatever it holds.
std::string OneLine(const std::string& text);
// `text` with `secret` (an access key in a URI) in place, or, in redacted mode, a marker.
std::string Redacted(const std::string& text, const std::string& secret);
// `format` with "<label>" where it says "<>": the lines of one request's objects
// name it by its identifier.
std::string WithId(const char* format, const std::string& label);
// Hands what the trace holds to the system; the loop calls it once per pass.
void Flush();
// How much the trace may hold for a slow reader, whether secrets and bodies stay out,
// and how many bytes a second it may write at most (0: no bound).
void Configure(uint64_t capacity, bool redacted, uint64_t rate = 0);
// While `pEventBase` runs (null: no longer), what standard output could not take
// goes out as soon as it can, whether or not anything else happens.
void Watch(event_base* pEventBase);
// At exit: writes out what is left, waiting a second at most for the reader.
void Finish();

const uint64_t kDefaultCapacity = 64 << 20;

// Text for one descriptor. Control characters other than newline and tab are
// written as \xHH (upper-case digits), so no traced value can forge a line or reach
// a terminal as a command. While a loop watches it, and at the end, the writer never
// waits for the descriptor's reader: what the reader has not taken yet is held up to
// a capacity; when it would overflow, whole lines are dropped (a line already partly
// written is ended instead), and a later line says how many bytes were.
class Writer
{
public:
    // What becomes of the line being written.
    enum class State
    {
        Whole,
        Dropping, // dropped, up to and with its newline
        Ending,   // its head is out: the rest is dropped, its newline kept
    };

    Writer(int descriptor, size_t capacity);
    ~Writer();

    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    size_t Capacity() const { return m_Capacity; }
    void SetCapacity(size_t capacity) { m_Capacity = capacity; }
    // Bytes a second; lines past it are dropped, as for a slow reader. 0: no bound.
    void SetRate(uint64_t rate) { m_Rate = rate; }
    void Write(const char* data, size_t size);
    // Writes what the descriptor takes now, unless the loop is to say when it can,
    // which it does by calling this.
    void Flush();
    void Watch(event_base* pEventBase);
    // Writes what is left, waiting at most `patience` milliseconds for the reader;
    // what is still left then counts as dropped. Gives the descriptor its mode back.
    void Finish(int patience);
    // Frees the event and the buffers.
    void Release();

    size_t Pending() const;
    // Bytes dropped that no line has reported yet.
    uint64_t Dropped() const { return m_Dropped; }
    uint64_t DroppedInAll() const { return m_Reported + m_Dropped; }

private:
    void SetState(State state) { m_State = state; }
    void Put(const char* data, size_t size, bool breaks);
    size_t Keep(const char* data, size_t size, bool breaks);
    size_t Discard(const char* data, size_t size);
    bool NoteDrops();
    void DropLine();
    void Advance(const char* data, size_t size, bool breaks);
    bool Fits(size_t size) const { return Pending() + size <= m_Capacity; }
    bool Spend(size_t size);
    void WriteOut();
    size_t WriteDirect(const char* data, size_t size);
    void Block();
    void NonBlocking();

    int m_Descriptor;
    int m_Flags; // the descriptor's own, once it has been made non-blocking
    size_t m_Capacity;
    State m_State;
    size_t m_LineLength; // bytes of the unfinished line handed over so far
    uint64_t m_Dropped;
    uint64_t m_Reported; // dropped, and said so
    bool m_Blocked;      // the descriptor took no more: no further try before the loop's next pass
    evbuffer* m_pBuffer;
    evbuffer* m_pSpare; // for taking back the end of a line
    event* m_pWritable;
    uint64_t m_Rate = 0;
    int64_t m_RateSecond = 0; // of the steady clock, whose bytes m_RateSpent counts
    uint64_t m_RateSpent = 0;
};

// The writer of standard output.
Writer& Out();
// Bytes dropped so far because the trace's reader fell behind.
uint64_t DroppedBytes();
} // namespace Trace
