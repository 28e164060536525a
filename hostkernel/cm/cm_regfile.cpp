// Export and import of subtrees as the .reg text regedit writes.
#include <cstdio>
#include <cstring>

#include "cm/cm_internal.h"
#include "hk/registry.h"

using namespace hkcm;

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";
const char kHeader4[] = "REGEDIT4";

struct RootName {
    const char16_t* Path;  // under \Registry
    const char* Name;
};
// First match wins on export; every name is accepted on import.
const RootName kRoots[] = {
    {u"\\Registry\\Machine\\Software\\Classes", "HKEY_CLASSES_ROOT"},
    {u"\\Registry\\Machine", "HKEY_LOCAL_MACHINE"},
    {u"\\Registry\\User", "HKEY_USERS"},
    {u"\\Registry\\User\\.DEFAULT", "HKEY_CURRENT_USER"},
    {u"\\Registry\\Machine", "HKLM"},
};

// ---------------------------------------------------------------- text

// UTF-16 to UTF-8; false on an unpaired surrogate.
bool ToUtf8(const std::u16string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            *out += static_cast<char>(c);
        } else if (c < 0x800) {
            *out += static_cast<char>(0xC0 | (c >> 6));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out += static_cast<char>(0xE0 | (c >> 12));
            *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (c >> 18));
            *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

bool FromUtf8(const std::string& text, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        uint32_t c;
        size_t extra;
        if (lead < 0x80) {
            c = lead;
            extra = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (extra != 0 && i + extra >= text.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            *out += static_cast<char16_t>(0xD800 + (c >> 10));
            *out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            *out += static_cast<char16_t>(c);
        }
    }
    return true;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::u16string Chars(const std::vector<UCHAR>& data) {
    std::u16string text(data.size() / 2, u'\0');
    if (!text.empty()) std::memcpy(&text[0], data.data(), text.size() * 2);
    return text;
}

// ---------------------------------------------------------------- export

// Registry path to its .reg name; false for keys outside the known roots.
bool RegName(const std::u16string& path, std::string* name) {
    for (const RootName& root : kRoots) {
        std::u16string prefix = root.Path;
        if (path.size() < prefix.size() || !SameName(path.substr(0, prefix.size()), prefix)) continue;
        if (path.size() > prefix.size() && path[prefix.size()] != u'\\') continue;
        std::string rest;
        if (!ToUtf8(path.substr(prefix.size()), &rest)) return false;
        *name = std::string(root.Name) + rest;
        return true;
    }
    return false;
}

// A REG_SZ that regedit writes as "text": NUL-terminated, no inner NUL, no
// line breaks, valid UTF-16.
bool PlainString(const Value& value, std::string* text) {
    if (value.Type != REG_SZ || value.Data.size() < 2 || value.Data.size() % 2 != 0) return false;
    std::u16string chars = Chars(value.Data);
    if (chars.back() != u'\0') return false;
    chars.pop_back();
    for (char16_t c : chars) {
        if (c < 0x20 && c != u'\t') return false;
    }
    return ToUtf8(chars, text);
}

void HexData(std::string line, const std::vector<UCHAR>& data, std::string* out) {
    for (size_t i = 0; i < data.size(); ++i) {
        char piece[4];
        std::snprintf(piece, sizeof(piece), i + 1 < data.size() ? "%02x," : "%02x", data[i]);
        if (line.size() + std::strlen(piece) > 78) {
            *out += line + "\\\n";
            line = "  ";
        }
        line += piece;
    }
    *out += line + "\n";
}

void ExportValue(const Value& value, std::string* out) {
    std::string name;
    if (value.Name.empty()) {
        name = "@";
    } else {
        ToUtf8(value.Name, &name);
        name = "\"" + Escape(name) + "\"";
    }
    std::string text;
    if (PlainString(value, &text)) {
        *out += name + "=\"" + Escape(text) + "\"\n";
    } else if (value.Type == REG_DWORD && value.Data.size() == 4) {
        ULONG dword;
        std::memcpy(&dword, value.Data.data(), 4);
        char digits[16];
        std::snprintf(digits, sizeof(digits), "%08x", dword);
        *out += name + "=dword:" + digits + "\n";
    } else if (value.Type == REG_BINARY) {
        HexData(name + "=hex:", value.Data, out);
    } else {
        char prefix[24];
        std::snprintf(prefix, sizeof(prefix), "=hex(%x):", value.Type);
        HexData(name + prefix, value.Data, out);
    }
}

void ExportKey(const Key& key, std::string* out) {
    std::string name;
    if (RegName(PathOf(key), &name)) {
        *out += "[" + name + "]\n";
        for (const Value& value : key.Values) ExportValue(value, out);
        *out += "\n";
    }
    for (const KeyRef& child : key.Children) ExportKey(*child, out);
}

// ---------------------------------------------------------------- import

struct Operation {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } What;
    std::u16string Path;
    std::u16string Name;
    ULONG Type = REG_NONE;
    std::vector<UCHAR> Data;
};

std::string Trim(const std::string& text) {
    size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(start, end - start + 1);
}

bool KeyPathOf(const std::string& regName, std::u16string* path) {
    std::u16string name;
    if (!FromUtf8(regName, &name)) return false;
    size_t slash = name.find(u'\\');
    std::u16string root = name.substr(0, slash);
    for (const RootName& known : kRoots) {
        std::u16string rootName;
        FromUtf8(known.Name, &rootName);
        if (!SameName(root, rootName)) continue;
        *path = known.Path;
        if (slash != std::u16string::npos) *path += name.substr(slash);
        std::vector<std::u16string> parts;
        return SplitPath(*path, &parts);
    }
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexNumber(const std::string& text, ULONG* number) {
    if (text.empty() || text.size() > 8) return false;
    ULONG result = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0) return false;
        result = (result << 4) | static_cast<ULONG>(digit);
    }
    *number = result;
    return true;
}

bool ParseBytes(const std::string& text, std::vector<UCHAR>* data) {
    data->clear();
    std::string list = Trim(text);
    if (list.empty()) return true;
    size_t start = 0;
    while (true) {
        size_t comma = list.find(',', start);
        std::string item = Trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        ULONG byte = 0;
        if (item.size() > 2 || !ParseHexNumber(item, &byte)) return false;
        data->push_back(static_cast<UCHAR>(byte));
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// Reads "text" with regedit's escapes from position; *end is past the quote.
bool ParseQuoted(const std::string& line, size_t start, std::string* text, size_t* end) {
    if (start >= line.size() || line[start] != '"') return false;
    text->clear();
    for (size_t i = start + 1; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"')) {
            *text += line[++i];
        } else if (line[i] == '"') {
            *end = i + 1;
            return true;
        } else {
            *text += line[i];
        }
    }
    return false;
}

bool ParseData(const std::string& text, Operation* op) {
    std::string quoted;
    size_t end = 0;
    if (text == "-") {
        op->What = Operation::DeleteValue;
        return true;
    }
    op->What = Operation::SetValue;
    if (!text.empty() && text[0] == '"') {
        std::u16string chars;
        if (!ParseQuoted(text, 0, &quoted, &end) || !Trim(text.substr(end)).empty() || !FromUtf8(quoted, &chars))
            return false;
        op->Type = REG_SZ;
        op->Data.resize((chars.size() + 1) * 2);
        std::memcpy(op->Data.data(), chars.c_str(), op->Data.size());
        return true;
    }
    if (text.compare(0, 6, "dword:") == 0) {
        ULONG dword = 0;
        if (!ParseHexNumber(Trim(text.substr(6)), &dword)) return false;
        op->Type = REG_DWORD;
        op->Data.resize(4);
        std::memcpy(op->Data.data(), &dword, 4);
        return true;
    }
    if (text.compare(0, 4, "hex:") == 0) {
        op->Type = REG_BINARY;
        return ParseBytes(text.substr(4), &op->Data);
    }
    if (text.compare(0, 4, "hex(") == 0) {
        size_t close = text.find("):", 4);
        if (close == std::string::npos || !ParseHexNumber(text.substr(4, close - 4), &op->Type)) return false;
        return ParseBytes(text.substr(close + 2), &op->Data);
    }
    return false;
}

bool Parse(const std::string& input, std::vector<Operation>* ops) {
    std::vector<std::string> lines;
    size_t start = (input.compare(0, 3, "\xEF\xBB\xBF") == 0) ? 3 : 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        std::string line = input.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    size_t i = 0;
    while (i < lines.size() && Trim(lines[i]).empty()) ++i;
    if (i == lines.size() || (Trim(lines[i]) != kHeader && Trim(lines[i]) != kHeader4)) return false;

    std::u16string current;
    bool haveKey = false;
    for (++i; i < lines.size(); ++i) {
        std::string line = Trim(lines[i]);
        if (line.empty() || line[0] == ';') continue;
        Operation op;
        if (line[0] == '[') {
            if (line.back() != ']') return false;
            bool remove = line.size() > 2 && line[1] == '-';
            if (!KeyPathOf(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)), &op.Path)) return false;
            op.What = remove ? Operation::DeleteKey : Operation::CreateKey;
            current = op.Path;
            haveKey = !remove;
            ops->push_back(op);
            continue;
        }
        if (!haveKey) return false;
        std::string name;
        size_t end = 1;
        if (line[0] == '"') {
            if (!ParseQuoted(line, 0, &name, &end)) return false;
        } else if (line[0] != '@') {
            return false;
        }
        if (end >= line.size() || line[end] != '=') return false;
        std::string data = Trim(line.substr(end + 1));
        while (data.compare(0, 3, "hex") == 0 && !data.empty() && data.back() == '\\' && i + 1 < lines.size()) {
            data.pop_back();
            data += Trim(lines[++i]);
        }
        if (!FromUtf8(name, &op.Name) || !ParseData(data, &op)) return false;
        op.Path = current;
        ops->push_back(op);
    }
    return true;
}

KeyRef EnsureKey(const std::u16string& path) {
    HkRegCreateKey(reinterpret_cast<PCWSTR>(path.c_str()));
    return FindAbsolute(path);
}

}  // namespace

std::string HkUtf8(const std::u16string& text) {
    std::string out;
    if (!ToUtf8(text, &out)) {
        out.clear();
        for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string HkRegExport(PCWSTR path) {
    std::lock_guard<std::recursive_mutex> hold(Lock());
    std::string out = std::string(kHeader) + "\n\n";
    if (KeyRef key = FindAbsolute(Text(path))) ExportKey(*key, &out);
    return out;
}

NTSTATUS HkRegImport(const std::string& text) {
    std::vector<Operation> ops;
    if (!Parse(text, &ops)) return STATUS_INVALID_PARAMETER;
    Root();
    std::lock_guard<std::recursive_mutex> hold(Lock());
    for (const Operation& op : ops) {
        KeyRef key = op.What == Operation::DeleteKey || op.What == Operation::DeleteValue ? FindAbsolute(op.Path)
                                                                                           : EnsureKey(op.Path);
        if (!key) continue;
        switch (op.What) {
        case Operation::CreateKey:
            break;
        case Operation::DeleteKey:
            if (key->Parent != nullptr && key->Parent->Parent != nullptr) DeleteTree(key);
            break;
        case Operation::SetValue:
            SetValue(*key, op.Name, op.Type, op.Data.data(), static_cast<ULONG>(op.Data.size()));
            break;
        case Operation::DeleteValue:
            DeleteValue(*key, op.Name);
            break;
        }
    }
    return STATUS_SUCCESS;
}
