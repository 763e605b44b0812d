#include "Trace.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <event2/buffer.h>
#include <event2/event.h>

namespace
{

// Beyond this much the trace is written at once rather than at the end of the loop's
// pass, and a piece as large goes straight from its caller's memory: a body on its
// way to a reader that keeps up is not copied.
const size_t kWriteAt = 64 << 10;
const size_t kEscapedBlock = 64 << 10;
const int kUnknown = -2; // descriptor flags not looked at yet
const char* const kHex = "0123456789ABCDEF";
// "redacted": secrets and bodies stay out of the trace.
bool g_Redacting = false;

void WritableCb(evutil_socket_t, short, void* pWriter)
{
    static_cast<Trace::Writer*>(pWriter)->Flush();
}

// A control character, newline and tab included; and one that is written escaped:
// any but those two. Bitwise, not short-circuit, so that a loop over them has no branch.
unsigned char IsControl(unsigned char c)
{
    return (c < 0x20) | (c == 0x7F);
}

unsigned char MustEscape(unsigned char c)
{
    return IsControl(c) & (c != '\n') & (c != '\t');
}

const size_t kBlock = 128;

// Checked with no branch inside, which the compiler turns into vector code.
template <unsigned char (*Test)(unsigned char)>
bool BlockHas(const unsigned char* p)
{
    unsigned char found = 0;
    for (size_t i = 0; i < kBlock; ++i)
        found |= Test(p[i]);
    return found != 0;
}

// How many bytes at the start of `data` go out as they are; `quiet` tells whether
// there is no newline or tab among them either. A block without any control
// character, as every block of base64 audio, takes the quicker test alone.
size_t PlainLength(const char* data, size_t size, bool& quiet)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    quiet = true;
    size_t at = 0;
    for (; at + kBlock <= size; at += kBlock)
    {
        if (!BlockHas<IsControl>(p + at))
            continue;
        quiet = false;
        if (BlockHas<MustEscape>(p + at))
            break;
    }
    for (; at < size && MustEscape(p[at]) == 0; ++at)
        quiet = quiet && IsControl(p[at]) == 0;
    return at;
}

// A subscriber's number or mailbox: enough to tell two apart in a log, not to dial.
std::string Masked(const std::string& value)
{
    const size_t kept = 3;
    std::string masked = value;
    if (masked.size() > kept)
        std::fill(masked.begin(), masked.end() - kept, '*');
    return masked;
}

} // namespace

namespace Trace
{

Writer::Writer(int descriptor, size_t capacity)
    : m_Descriptor(descriptor)
    , m_Flags(kUnknown)
    , m_Capacity(capacity)
    , m_State(State::Whole)
    , m_LineLength(0)
    , m_Dropped(0)
    , m_Reported(0)
    , m_Blocked(false)
    , m_pBuffer(evbuffer_new())
    , m_pSpare(evbuffer_new())
    , m_pWritable(nullptr)
{
}

Writer::~Writer()
{
    Release();
}

void Writer::Release()
{
    Watch(nullptr);
    for (evbuffer** ppBuffer : {&m_pBuffer, &m_pSpare})
    {
        if (*ppBuffer != nullptr)
            evbuffer_free(*ppBuffer);
        *ppBuffer = nullptr;
    }
}

size_t Writer::Pending() const
{
    return evbuffer_get_length(m_pBuffer);
}

void Writer::Write(const char* data, size_t size)
{
    bool quiet = false;
    size_t plain = PlainLength(data, size, quiet);
    if (plain == size)
    {
        Put(data, size, !quiet);
        return;
    }
    // Handed on in blocks, so that even a body of nothing but control characters
    // takes little memory on its way.
    std::string escaped;
    for (;;)
    {
        escaped.append(data, plain);
        if (plain == size || escaped.size() >= kEscapedBlock)
        {
            Put(escaped.data(), escaped.size(), true);
            escaped.clear();
        }
        if (plain == size)
            return;
        const unsigned char c = static_cast<unsigned char>(data[plain]);
        const char code[] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        escaped.append(code, sizeof code);
        data += plain + 1;
        size -= plain + 1;
        plain = PlainLength(data, size, quiet);
    }
}

// `breaks`: whether the piece may hold a newline.
void Writer::Put(const char* data, size_t size, bool breaks)
{
    while (size > 0)
    {
        const size_t taken = m_State == State::Whole ? Keep(data, size, breaks) : Discard(data, size);
        data += taken;
        size -= taken;
    }
}

// Hands over as much of the piece as goes out whole: all of it, as many of its lines
// as fit, or none, when the line is given up.
size_t Writer::Keep(const char* data, size_t size, bool breaks)
{
    if ((m_LineLength == 0 && !NoteDrops()) || !Spend(size))
    {
        DropLine();
        return 0;
    }
    // A report still due comes before the next line.
    const char* end = m_Dropped > 0 ? static_cast<const char*>(memchr(data, '\n', size)) : nullptr;
    if (end != nullptr)
        size = end - data + 1;
    if (size >= kWriteAt || !Fits(size))
    {
        WriteOut();
        const size_t written = Pending() == 0 ? WriteDirect(data, size) : 0;
        Advance(data, written, breaks);
        if (written > 0)
            return written;
    }
    if (!Fits(size))
    {
        const size_t room = m_Capacity - std::min(Pending(), m_Capacity);
        const void* last = memrchr(data, '\n', std::min(size, room));
        if (last != nullptr)
            size = static_cast<const char*>(last) - data + 1;
    }
    if (!Fits(size) || evbuffer_add(m_pBuffer, data, size) != 0)
    {
        DropLine();
        return 0;
    }
    Advance(data, size, breaks);
    if (Pending() >= kWriteAt)
        WriteOut();
    return size;
}

// Counts `size` bytes against this second's share of the rate; false when over it.
bool Writer::Spend(size_t size)
{
    if (m_Rate == 0)
        return true;
    const int64_t second =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    if (second != m_RateSecond)
    {
        m_RateSecond = second;
        m_RateSpent = 0;
    }
    if (m_RateSpent + size > m_Rate)
        return false;
    m_RateSpent += size;
    return true;
}

// Drops the rest of a line given up; the newline of one already partly out is kept.
size_t Writer::Discard(const char* data, size_t size)
{
    const char* end = static_cast<const char*>(memchr(data, '\n', size));
    if (end == nullptr)
    {
        m_Dropped += size;
        return size;
    }
    const size_t taken = end - data + (m_State == State::Dropping ? 1 : 0);
    m_Dropped += taken;
    SetState(State::Whole);
    return taken;
}

// Reports the bytes dropped, at the start of a line and when the report fits; true
// when nothing is left to report.
bool Writer::NoteDrops()
{
    if (m_Dropped == 0 || m_State != State::Whole || m_LineLength > 0)
        return m_Dropped == 0;
    char note[64];
    const int length = snprintf(note, sizeof note, "Trace: [%" PRIu64 "] bytes dropped\n", m_Dropped);
    if (!Fits(length) || evbuffer_add(m_pBuffer, note, length) != 0)
        return false;
    m_Reported += m_Dropped;
    m_Dropped = 0;
    return true;
}

// Gives up the line being written: its bytes still in the buffer are taken back.
void Writer::DropLine()
{
    const size_t queued = std::min(m_LineLength, Pending());
    if (queued > 0)
    {
        evbuffer_remove_buffer(m_pBuffer, m_pSpare, Pending() - queued);
        evbuffer_drain(m_pBuffer, queued);
        std::swap(m_pBuffer, m_pSpare);
    }
    m_Dropped += queued;
    m_LineLength -= queued;
    SetState(m_LineLength > 0 ? State::Ending : State::Dropping);
}

void Writer::Advance(const char* data, size_t size, bool breaks)
{
    const void* end = breaks ? memrchr(data, '\n', size) : nullptr;
    m_LineLength = end != nullptr ? data + size - static_cast<const char*>(end) - 1 : m_LineLength + size;
}

void Writer::Flush()
{
    if (m_pWritable != nullptr && event_pending(m_pWritable, EV_WRITE, nullptr))
        return;
    m_Blocked = false;
    WriteOut();
    NoteDrops();
    WriteOut();
}

void Writer::WriteOut()
{
    while (!m_Blocked && Pending() > 0)
    {
        const int written = evbuffer_write(m_pBuffer, m_Descriptor);
        if (written == 0 || (written < 0 && errno != EINTR))
            Block();
    }
}

size_t Writer::WriteDirect(const char* data, size_t size)
{
    size_t written = 0;
    while (!m_Blocked && written < size)
    {
        const ssize_t result = write(m_Descriptor, data + written, size - written);
        if (result > 0)
            written += static_cast<size_t>(result);
        else if (result == 0 || errno != EINTR)
            Block();
    }
    return written;
}

// No more tries in this pass. Only a descriptor that would block is watched: a failed
// one would be reported writable again and again.
void Writer::Block()
{
    m_Blocked = true;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && m_pWritable != nullptr)
        event_add(m_pWritable, nullptr);
}

void Writer::Watch(event_base* pEventBase)
{
    if (m_pWritable != nullptr)
        event_free(m_pWritable);
    m_pWritable = nullptr;
    if (pEventBase == nullptr)
        return;
    NonBlocking();
    m_pWritable = event_new(pEventBase, m_Descriptor, EV_WRITE, WritableCb, this);
}

// The descriptor's file may be shared with other processes (a shell's terminal, a
// supervisor's pipe): its mode is given back at the end.
void Writer::NonBlocking()
{
    if (m_Flags != kUnknown)
        return;
    m_Flags = fcntl(m_Descriptor, F_GETFL);
    if (m_Flags >= 0)
        fcntl(m_Descriptor, F_SETFL, m_Flags | O_NONBLOCK);
}

void Writer::Finish(int patience)
{
    Watch(nullptr);
    NonBlocking();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience);
    pollfd descriptor{m_Descriptor, POLLOUT, 0};
    for (Flush(); Pending() > 0; Flush())
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(&descriptor, 1, static_cast<int>(left.count())) <= 0 ||
            (descriptor.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            break;
    }
    m_Dropped += Pending();
    evbuffer_drain(m_pBuffer, Pending());
    if (m_Flags >= 0)
        fcntl(m_Descriptor, F_SETFL, m_Flags);
    m_Flags = kUnknown;
}

Writer& Out()
{
    static Writer writer(STDOUT_FILENO, kDefaultCapacity);
    return writer;
}

void Print(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    PrintV(format, arguments);
    va_end(arguments);
}

void PrintV(const char* format, va_list arguments)
{
    char line[1024];
    va_list again;
    va_copy(again, arguments);
    const int length = vsnprintf(line, sizeof line, format, arguments);
    if (length >= 0 && static_cast<size_t>(length) < sizeof line)
        Out().Write(line, length);
    else if (length >= 0)
    {
        std::string text(length, '\0');
        vsnprintf(&text[0], text.size() + 1, format, again);
        Out().Write(text.data(), text.size());
    }
    va_end(again);
}

void Body(const char* data, size_t size)
{
    if (g_Redacting)
        Print("[redacted %zu bytes]", size);
    else
        Out().Write(data, size);
}

void Body(evbuffer* pBody)
{
    if (g_Redacting)
    {
        Body(nullptr, evbuffer_get_length(pBody));
        return;
    }
    // Chain by chain, without copying them together.
    const int count = evbuffer_peek(pBody, -1, nullptr, nullptr, 0);
    std::vector<evbuffer_iovec> chains(count > 0 ? static_cast<size_t>(count) : 0);
    evbuffer_peek(pBody, -1, nullptr, chains.data(), count);
    for (const evbuffer_iovec& chain : chains)
        Out().Write(static_cast<const char*>(chain.iov_base), chain.iov_len);
}

void Header(const char* name, const char* value)
{
    if (g_Redacting && strcasecmp(name, "Authorization") == 0)
        Print("  %s: [redacted %zu bytes]\n", name, strlen(value));
    else if (g_Redacting && (strcasecmp(name, "X-Tarvex-MSISDN") == 0 || strcasecmp(name, "X-Tarvex-Mailbox") == 0))
        Print("  %s: %s\n", name, Masked(value).c_str());
    else
        Print("  %s: %s\n", name, value);
}

std::string Target(const char* target)
{
    const std::string whole = target != nullptr ? target : "";
    return g_Redacting ? whole.substr(0, whole.find('?')) : whole;
}

std::string OneLine(const std::string& text)
{
    std::string line;
    for (const char c : text)
    {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (IsControl(byte) == 0)
            line += c;
        else
            line += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    }
    return line;
}

std::string Redacted(const std::string& text, const std::string& secret)
{
    std::string redacted = text;
    if (!g_Redacting || secret.empty())
        return redacted;
    const std::string marker = "[redacted " + std::to_string(secret.size()) + " bytes]";
    for (size_t at = redacted.find(secret); at != std::string::npos; at = redacted.find(secret, at + marker.size()))
        redacted.replace(at, secret.size(), marker);
    return redacted;
}

void Flush()
{
    Out().Flush();
}

void Configure(uint64_t capacity, bool redacted, uint64_t rate)
{
    Out().SetCapacity(capacity);
    Out().SetRate(rate);
    g_Redacting = redacted;
}

std::string WithId(const char* format, const std::string& label)
{
    std::string withId = format;
    const size_t marker = withId.find("<>");
    if (marker != std::string::npos)
        withId.replace(marker, 2, "<" + label + ">");
    return withId;
}

void Watch(event_base* pEventBase)
{
    Out().Watch(pEventBase);
}

void Finish()
{
    Out().Finish(1000);
}

uint64_t DroppedBytes()
{
    return Out().DroppedInAll();
}

} // namespace Trace
