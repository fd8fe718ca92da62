#include "viewmodel/function_reply.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

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
        // Decoded straight from the body; the input is not copied.
        parsed.payload =
            QByteArray::fromBase64(QByteArray::fromRawData(base64.data(), base64.size()));
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
