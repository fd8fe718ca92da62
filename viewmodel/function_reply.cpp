#include "viewmodel/function_reply.h"

#include "viewmodel/large_buffer.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

namespace {

// The value of each character of the standard base64 alphabet; kNotBase64 for every other byte.
constexpr quint8 kNotBase64 = 0xff;
constexpr std::array<quint8, 256> kBase64Values = [] {
    std::array<quint8, 256> values{};
    for (quint8 &value : values)
        value = kNotBase64;
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        values[uchar(alphabet[i])] = quint8(i);
    return values;
}();

// Every answer the dashboard function gives is an object of a few string members, one of them
// megabytes of base64. Such a body is read here in place, without the copies and UTF-16
// conversions of the full parser; anything else goes to the full parser. The shape read here
// is narrow enough that the full parser could not read it differently: strings of printable
// ASCII without escapes (written back as they stand), no key twice, JSON whitespace around
// tokens and nothing after the object.
struct Member
{
    QByteArrayView key;
    QByteArrayView value;
};

class PlainObjectReader
{
public:
    explicit PlainObjectReader(QByteArrayView text) : body(text) {}

    std::optional<std::vector<Member>> read()
    {
        std::vector<Member> members;
        if (!take('{'))
            return std::nullopt;
        bool more = !take('}');
        while (more) {
            Member member;
            if (!string(member.key) || !take(':') || !string(member.value))
                return std::nullopt;
            members.push_back(member);
            more = take(',');
            if (!more && !take('}'))
                return std::nullopt;
        }
        skipSpace();
        if (at != body.size())
            return std::nullopt;
        const auto byKey = [](const Member &a, const Member &b) { return a.key < b.key; };
        std::sort(members.begin(), members.end(), byKey);
        const auto sameKey = [](const Member &a, const Member &b) { return a.key == b.key; };
        if (std::adjacent_find(members.begin(), members.end(), sameKey) != members.end())
            return std::nullopt;
        return members;
    }

private:
    void skipSpace()
    {
        while (at < body.size() &&
               (body[at] == ' ' || body[at] == '\t' || body[at] == '\n' || body[at] == '\r'))
            ++at;
    }
    bool take(char c)
    {
        skipSpace();
        if (at >= body.size() || body[at] != c)
            return false;
        ++at;
        return true;
    }
    bool string(QByteArrayView &out)
    {
        if (!take('"'))
            return false;
        const auto *begin = body.data() + at;
        const auto *quote = static_cast<const char *>(std::memchr(begin, '"', body.size() - at));
        if (!quote || !plainText(QByteArrayView(begin, quote))) // the next quote ends it
            return false;
        out = QByteArrayView(begin, quote);
        at += out.size() + 1;
        return true;
    }
    // Printable ASCII without a backslash, eight bytes at a time: a payload is megabytes long.
    static bool plainText(QByteArrayView text)
    {
        constexpr quint64 ones = 0x0101010101010101, highs = ones * 0x80;
        qsizetype i = 0;
        for (; i + 8 <= text.size(); i += 8) {
            quint64 word = 0;
            std::memcpy(&word, text.data() + i, 8);
            const quint64 control = (word - ones * 0x20) & ~word & highs; // a byte under 0x20
            const quint64 beyond = ((word + ones * (0x7f - 0x7e)) | word) & highs; // over 0x7e
            const quint64 xored = word ^ (ones * '\\');
            const quint64 backslash = (xored - ones) & ~xored & highs;
            if (control | beyond | backslash)
                return false;
        }
        for (; i < text.size(); ++i) {
            const auto c = uchar(text[i]);
            if (c < 0x20 || c > 0x7e || c == '\\')
                return false;
        }
        return true;
    }

    QByteArrayView body;
    qsizetype at = 0;
};

// The object written back compactly, keys in order, in one allocation; the body itself, shared,
// when it is written so already: its keys, which the members view, stand in order, and nothing
// stands between the tokens.
QByteArray compactJson(const QByteArray &body, const std::vector<Member> &members)
{
    qsizetype size = members.empty() ? 2 : 1 + qsizetype(members.size()); // braces and commas
    for (const Member &member : members)
        size += member.key.size() + member.value.size() + 5;
    const auto earlier = [](const Member &a, const Member &b) {
        return a.key.data() < b.key.data();
    };
    if (size == body.size() && std::is_sorted(members.begin(), members.end(), earlier))
        return body;
    QByteArray json;
    json.reserve(size);
    json.append('{');
    for (const Member &member : members) {
        if (json.size() > 1)
            json.append(',');
        json.append('"').append(member.key).append("\":\"").append(member.value).append('"');
    }
    return json.append('}');
}

QByteArrayView memberValue(const std::vector<Member> &members, QByteArrayView key)
{
    for (const Member &member : members)
        if (member.key == key)
            return member.value.trimmed();
    return {};
}

void readPlainObject(DashboardFunctionBody &parsed, const QByteArray &body,
                     const std::vector<Member> &members)
{
    parsed.compactJson = compactJson(body, members);
    parsed.errorText = QString::fromLatin1(memberValue(members, "error"));
    parsed.signature = memberValue(members, "signature").toByteArray();
    const QByteArrayView base64 = memberValue(members, "payload_base64");
    if (!base64.isEmpty()) {
        parsed.payload = decodeBase64(base64); // straight from the body, not copied
        parsed.encodedBytes = base64.size();
    }
}

void readAnyObject(DashboardFunctionBody &parsed, const QJsonObject &object)
{
    parsed.compactJson = QJsonDocument(object).toJson(QJsonDocument::Compact);
    parsed.errorText = object.value(QLatin1String("error")).toString().trimmed();
    parsed.signature = object.value(QLatin1String("signature")).toString().trimmed().toLatin1();
    const QString base64 = object.value(QLatin1String("payload_base64")).toString().trimmed();
    if (!base64.isEmpty()) {
        parsed.payload = QByteArray::fromBase64(base64.toUtf8());
        parsed.encodedBytes = base64.size();
    }
}

} // namespace

// Qt's decoder goes bit by bit, about 100 MB/s here: most of a 10 MB base64 delivery. This one
// takes four characters at a time while they are all in the alphabet and otherwise steps like
// Qt's, skipping whatever is not in the alphabet ('=' included) and dropping a last partial byte.
QByteArray decodeBase64(QByteArrayView text)
{
    QByteArray decoded(text.size() / 4 * 3 + 3, Qt::Uninitialized);
    preferHugePages(decoded.data(), decoded.size());
    char *out = decoded.data();
    const auto *in = reinterpret_cast<const uchar *>(text.data());
    const uchar *const end = in + text.size();
    quint32 bits = 0;
    int pending = 0; // bits held in `bits`; back to 0 after every four characters taken
    while (in != end) {
        for (; pending == 0 && end - in >= 4; in += 4, out += 3) {
            const quint32 a = kBase64Values[in[0]], b = kBase64Values[in[1]],
                          c = kBase64Values[in[2]], d = kBase64Values[in[3]];
            if ((a | b | c | d) > 63) // one of them is not in the alphabet
                break;
            const quint32 group = a << 18 | b << 12 | c << 6 | d;
            out[0] = char(group >> 16);
            out[1] = char(group >> 8);
            out[2] = char(group);
        }
        if (in == end)
            break;
        const quint32 value = kBase64Values[*in++];
        if (value == kNotBase64)
            continue;
        bits = bits << 6 | value;
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            *out++ = char(bits >> pending);
            bits &= (1u << pending) - 1;
        }
    }
    decoded.truncate(out - decoded.constData());
    return decoded;
}

DashboardFunctionBody parseDashboardFunctionBody(const QByteArray &body)
{
    DashboardFunctionBody parsed;
    parsed.payload = body;
    if (const auto members = PlainObjectReader(body).read()) {
        parsed.isJsonObject = true;
        readPlainObject(parsed, body, *members);
        return parsed;
    }
    return parseDashboardFunctionBodyFully(body);
}

DashboardFunctionBody parseDashboardFunctionBodyFully(const QByteArray &body)
{
    DashboardFunctionBody parsed;
    parsed.payload = body;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return parsed;
    parsed.isJsonObject = true;
    readAnyObject(parsed, document.object());
    return parsed;
}
