#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace backend::json {

// A small JSON value: enough to read request bodies strictly and to write replies.
// Objects keep their members in insertion order so replies read naturally.
class Value
{
public:
    enum class Type
    {
        Null,
        Bool,
        Number,
        String,
        Array,
        Object
    };
    using Member = std::pair<std::string, Value>;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : kind(Type::Bool), boolean(b) {}
    Value(int n) : Value(static_cast<std::int64_t>(n)) {}
    Value(std::int64_t n) : kind(Type::Number), number(static_cast<double>(n)), integer(n) {}
    Value(const char *s) : kind(Type::String), text(s) {}
    Value(std::string s) : kind(Type::String), text(std::move(s)) {}

    static Value object(std::initializer_list<Member> list = {});
    static Value array();
    static Value fromDouble(double d);

    Type type() const { return kind; }
    bool isObject() const { return kind == Type::Object; }
    bool isString() const { return kind == Type::String; }
    bool isBool() const { return kind == Type::Bool; }

    const std::string &asString() const { return text; }
    bool asBool() const { return boolean; }

    // Member lookup on an object; nullptr when absent or when this is not an object.
    const Value *find(std::string_view key) const;
    Value &set(std::string key, Value value);
    void append(Value value);

    std::string serialize() const;

private:
    void write(std::string &out) const;

    Type kind = Type::Null;
    bool boolean = false;
    double number = 0;
    std::optional<std::int64_t> integer;
    std::string text;
    std::vector<Value> items;
    std::vector<Member> members;

    friend class Parser;
};

// Strict RFC 8259 parse of a whole document; nullopt (with a reason) on any defect, including
// invalid UTF-8, lone surrogates, trailing bytes and nesting deeper than a sane limit.
std::optional<Value> parse(std::string_view text, std::string *error = nullptr);

// Appends the JSON string literal of UTF-8 text.
void writeString(std::string &out, std::string_view s);

bool isValidUtf8(std::string_view s);

} // namespace backend::json
