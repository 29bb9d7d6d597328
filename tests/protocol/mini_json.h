// A very small reader for the test vector files: objects, arrays and
// strings (with \" and \\ escapes) only.
#pragma once

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

struct JsonValue {
    enum Kind { Null, Str, Arr, Obj } kind = Null;
    std::string str;
    std::vector<JsonValue> arr;
    std::map<std::string, JsonValue> obj;

    const JsonValue& operator[](const std::string& key) const {
        static const JsonValue none;
        auto it = obj.find(key);
        return it == obj.end() ? none : it->second;
    }
};

class JsonReader {
public:
    explicit JsonReader(std::string text) : s_(std::move(text)) {}

    // False on anything this reader does not understand.
    bool Parse(JsonValue& out) {
        pos_ = 0;
        if (!Value(out)) return false;
        Skip();
        return pos_ == s_.size();
    }

    static bool ParseFile(const std::string& path, JsonValue& out) {
        std::ifstream in(path, std::ios::binary);
        if (!in) return false;
        std::stringstream ss;
        ss << in.rdbuf();
        return JsonReader(ss.str()).Parse(out);
    }

private:
    void Skip() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t')) ++pos_;
    }
    bool Eat(char c) {
        Skip();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool String(std::string& out) {
        if (!Eat('"')) return false;
        out.clear();
        while (pos_ < s_.size() && s_[pos_] != '"') {
            if (s_[pos_] == '\\') {
                if (++pos_ >= s_.size()) return false;
                if (s_[pos_] != '"' && s_[pos_] != '\\' && s_[pos_] != '/') return false;
            }
            out += s_[pos_++];
        }
        return Eat('"');
    }
    bool Value(JsonValue& v) {
        Skip();
        if (pos_ >= s_.size()) return false;
        char c = s_[pos_];
        if (c == '"') {
            v.kind = JsonValue::Str;
            return String(v.str);
        }
        if (c == '[') {
            v.kind = JsonValue::Arr;
            ++pos_;
            if (Eat(']')) return true;
            do {
                v.arr.emplace_back();
                if (!Value(v.arr.back())) return false;
            } while (Eat(','));
            return Eat(']');
        }
        if (c == '{') {
            v.kind = JsonValue::Obj;
            ++pos_;
            if (Eat('}')) return true;
            do {
                std::string key;
                if (!String(key) || !Eat(':')) return false;
                if (!Value(v.obj[key])) return false;
            } while (Eat(','));
            return Eat('}');
        }
        return false;
    }

    std::string s_;
    size_t pos_ = 0;
};
