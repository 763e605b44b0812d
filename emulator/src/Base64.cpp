#include "Base64.h"

#include <openssl/evp.h>

namespace {

bool isBase64Char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

bool isSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// EVP_DecodeBlock wants whole 4-character groups and does not reject '='
// inside the text, so the text is checked and padded here first.
bool normalize(std::string_view text, std::string& clean, int& padding)
{
    clean.reserve(text.size() + 3);
    padding = 0;
    for (char c : text) {
        if (isSpace(c))
            continue;
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
        if (c == '=') {
            ++padding;
            continue;
        }
        if (!isBase64Char(c) || padding > 0)
            return false;
        clean.push_back(c);
    }
    const size_t tail = clean.size() % 4;
    if (tail == 1 || padding > 2 || (padding > 0 && (tail + padding) % 4 != 0))
        return false;
    padding = tail == 0 ? 0 : static_cast<int>(4 - tail);
    clean.append(static_cast<size_t>(padding), '=');
    return true;
}

} // namespace

bool decodeBase64(std::string_view text, std::string& out)
{
    std::string clean;
    int padding = 0;
    if (!normalize(text, clean, padding))
        return false;
    out.resize(clean.size() / 4 * 3);
    if (clean.empty())
        return true;
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0)
        return false;
    out.resize(static_cast<size_t>(n - padding));
    return true;
}
