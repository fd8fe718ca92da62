#include "json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace backend::json {

namespace {
// Deep enough for any request we accept, shallow enough that recursion cannot exhaust the stack.
constexpr int kMaxDepth = 64;

void appendUtf8(std::string &out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}
} // namespace

bool isValidUtf8(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t len = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size())
            return false;
        for (size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

class Parser
{
public:
    explicit Parser(std::string_view input) : in(input) {}

    std::optional<Value> document(std::string *error)
    {
        Value v;
        skipSpace();
        if (!value(v, 0) || (skipSpace(), pos != in.size())) {
            if (error)
                *error = problem.empty() ? "unexpected trailing characters" : problem;
            return std::nullopt;
        }
        return v;
    }

private:
    bool fail(const char *why)
    {
        if (problem.empty())
            problem = std::string(why) + " at offset " + std::to_string(pos);
        return false;
    }

    void skipSpace()
    {
        while (pos < in.size() &&
               (in[pos] == ' ' || in[pos] == '\t' || in[pos] == '\n' || in[pos] == '\r'))
            ++pos;
    }

    bool literal(std::string_view word)
    {
        if (in.substr(pos, word.size()) != word)
            return fail("invalid literal");
        pos += word.size();
        return true;
    }

    bool value(Value &out, int depth)
    {
        if (depth > kMaxDepth)
            return fail("nesting too deep");
        if (pos >= in.size())
            return fail("unexpected end of input");
        switch (in[pos]) {
        case '{':
            return object(out, depth);
        case '[':
            return array(out, depth);
        case '"':
            out.kind = Value::Type::String;
            return string(out.text);
        case 't':
            out = Value(true);
            return literal("true");
        case 'f':
            out = Value(false);
            return literal("false");
        case 'n':
            out = Value();
            return literal("null");
        default:
            return numberValue(out);
        }
    }

    bool object(Value &out, int depth)
    {
        out = Value::object();
        ++pos;
        skipSpace();
        if (pos < in.size() && in[pos] == '}') {
            ++pos;
            return true;
        }
        while (true) {
            skipSpace();
            if (pos >= in.size() || in[pos] != '"')
                return fail("expected a member name");
            std::string key;
            if (!string(key))
                return false;
            skipSpace();
            if (pos >= in.size() || in[pos] != ':')
                return fail("expected ':'");
            ++pos;
            skipSpace();
            Value member;
            if (!value(member, depth + 1))
                return false;
            out.set(std::move(key), std::move(member));
            skipSpace();
            if (pos < in.size() && in[pos] == ',') {
                ++pos;
                continue;
            }
            if (pos < in.size() && in[pos] == '}') {
                ++pos;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    bool array(Value &out, int depth)
    {
        out = Value::array();
        ++pos;
        skipSpace();
        if (pos < in.size() && in[pos] == ']') {
            ++pos;
            return true;
        }
        while (true) {
            skipSpace();
            Value item;
            if (!value(item, depth + 1))
                return false;
            out.items.push_back(std::move(item));
            skipSpace();
            if (pos < in.size() && in[pos] == ',') {
                ++pos;
                continue;
            }
            if (pos < in.size() && in[pos] == ']') {
                ++pos;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    bool hex4(std::uint32_t &cp)
    {
        if (pos + 4 > in.size())
            return fail("truncated \\u escape");
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = in[pos++];
            cp <<= 4;
            if (c >= '0' && c <= '9')
                cp |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                cp |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                cp |= static_cast<std::uint32_t>(c - 'A' + 10);
            else
                return fail("invalid \\u escape");
        }
        return true;
    }

    bool string(std::string &out)
    {
        ++pos; // opening quote
        const size_t start = pos;
        while (true) {
            if (pos >= in.size())
                return fail("unterminated string");
            const auto c = static_cast<unsigned char>(in[pos]);
            if (c == '"') {
                ++pos;
                break;
            }
            if (c < 0x20)
                return fail("control character in string");
            if (c != '\\') {
                out += static_cast<char>(c);
                ++pos;
                continue;
            }
            ++pos;
            if (pos >= in.size())
                return fail("unterminated escape");
            const char e = in[pos++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                std::uint32_t cp = 0;
                if (!hex4(cp))
                    return false;
                if (cp >= 0xDC00 && cp <= 0xDFFF)
                    return fail("lone low surrogate");
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    std::uint32_t low = 0;
                    if (in.substr(pos, 2) != "\\u")
                        return fail("lone high surrogate");
                    pos += 2;
                    if (!hex4(low))
                        return false;
                    if (low < 0xDC00 || low > 0xDFFF)
                        return fail("invalid surrogate pair");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUtf8(out, cp);
                break;
            }
            default:
                return fail("invalid escape");
            }
        }
        if (!isValidUtf8(in.substr(start, pos - 1 - start)))
            return fail("invalid UTF-8 in string");
        return true;
    }

    bool numberValue(Value &out)
    {
        const size_t start = pos;
        auto digits = [&] {
            const size_t from = pos;
            while (pos < in.size() && in[pos] >= '0' && in[pos] <= '9')
                ++pos;
            return pos > from;
        };
        if (pos < in.size() && in[pos] == '-')
            ++pos;
        if (pos < in.size() && in[pos] == '0')
            ++pos;
        else if (!digits())
            return fail("unexpected character");
        bool integral = true;
        if (pos < in.size() && in[pos] == '.') {
            ++pos;
            integral = false;
            if (!digits())
                return fail("invalid number");
        }
        if (pos < in.size() && (in[pos] == 'e' || in[pos] == 'E')) {
            ++pos;
            integral = false;
            if (pos < in.size() && (in[pos] == '+' || in[pos] == '-'))
                ++pos;
            if (!digits())
                return fail("invalid number");
        }
        const std::string textForm(in.substr(start, pos - start));
        out = Value::fromDouble(std::strtod(textForm.c_str(), nullptr));
        if (integral && textForm.size() < 19)
            out.integer = std::strtoll(textForm.c_str(), nullptr, 10);
        return true;
    }

    std::string_view in;
    size_t pos = 0;
    std::string problem;
};

Value Value::object(std::initializer_list<Member> list)
{
    Value v;
    v.kind = Type::Object;
    for (const auto &m : list)
        v.set(m.first, m.second);
    return v;
}

Value Value::array()
{
    Value v;
    v.kind = Type::Array;
    return v;
}

Value Value::fromDouble(double d)
{
    Value v;
    v.kind = Type::Number;
    v.number = d;
    return v;
}

const Value *Value::find(std::string_view key) const
{
    if (kind != Type::Object)
        return nullptr;
    for (const auto &m : members) {
        if (m.first == key)
            return &m.second;
    }
    return nullptr;
}

Value &Value::set(std::string key, Value value)
{
    for (auto &m : members) {
        if (m.first == key) {
            m.second = std::move(value);
            return m.second;
        }
    }
    members.emplace_back(std::move(key), std::move(value));
    return members.back().second;
}

void Value::append(Value value)
{
    items.push_back(std::move(value));
}

void writeString(std::string &out, std::string_view s)
{
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

void Value::write(std::string &out) const
{
    switch (kind) {
    case Type::Null:
        out += "null";
        break;
    case Type::Bool:
        out += boolean ? "true" : "false";
        break;
    case Type::Number:
        if (integer) {
            out += std::to_string(*integer);
        } else if (std::isfinite(number)) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", number);
            out += buf;
        } else {
            out += "null";
        }
        break;
    case Type::String:
        writeString(out, text);
        break;
    case Type::Array:
        out += '[';
        for (size_t i = 0; i < items.size(); ++i) {
            if (i)
                out += ',';
            items[i].write(out);
        }
        out += ']';
        break;
    case Type::Object:
        out += '{';
        for (size_t i = 0; i < members.size(); ++i) {
            if (i)
                out += ',';
            writeString(out, members[i].first);
            out += ':';
            members[i].second.write(out);
        }
        out += '}';
        break;
    }
}

std::string Value::serialize() const
{
    std::string out;
    write(out);
    return out;
}

std::optional<Value> parse(std::string_view text, std::string *error)
{
    return Parser(text).document(error);
}

} // namespace backend::json
