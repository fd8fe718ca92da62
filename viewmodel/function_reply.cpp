#include "viewmodel/function_reply.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
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
        const qsizetype start = at;
        for (; at < body.size(); ++at) {
            const uchar c = uchar(body[at]);
            if (c == '"') {
                out = body.sliced(start, at++ - start);
                return true;
            }
            if (c < 0x20 || c > 0x7e || c == '\\')
                return false;
        }
        return false;
    }

    QByteArrayView body;
    qsizetype at = 0;
};

// The object written back compactly, keys in order, in one allocation.
QByteArray compactJson(const std::vector<Member> &members)
{
    qsizetype size = 2 + qsizetype(members.size());
    for (const Member &member : members)
        size += member.key.size() + member.value.size() + 5;
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

void readPlainObject(DashboardFunctionBody &parsed, const std::vector<Member> &members)
{
    parsed.compactJson = compactJson(members);
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
        readPlainObject(parsed, *members);
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
