#include "kest/kvfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "internal/raise.h"
#include "internal/replace_file.h"
#include "internal/trim.h"
#include "kest/strutil.h"
#include "kest/unicode.h"

namespace {

using kest::core::ReplaceFile;

constexpr const char *kDefaultFormat = "%s=%s\n";

struct FileCloser {
    void operator()(FILE *f) const {
        if (f) fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct ListFree {
    void operator()(SzList *l) const { XLIBCSzListFree(l); }
};
using List = std::unique_ptr<SzList, ListFree>;

// Whole lines of any length, newline kept.
class LineReader {
public:
    explicit LineReader(FILE *f) : f_(f) {}
    ~LineReader() { free(buf_); }
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;
    // Null at end of file or on a read error (then failed() is true).
    char *Next() {
        ssize_t n = getline(&buf_, &cap_, f_);
        if (n < 0) return nullptr;
        len_ = static_cast<size_t>(n);
        return buf_;
    }
    size_t length() const { return len_; }
    bool failed() const { return ferror(f_) != 0; }

private:
    FILE *f_;
    char *buf_ = nullptr;
    size_t cap_ = 0;
    size_t len_ = 0;
};

bool IsComment(const char *line) { return line[0] == '#' || line[0] == ';'; }

bool EndsWithNewline(const std::string &s) { return !s.empty() && s.back() == '\n'; }

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// The caller's printf format with the key and then the value.
bool WriteFormatted(FILE *out, const char *format, const char *key, const char *value) {
    return fprintf(out, format, key, value) >= 0;
}
#pragma GCC diagnostic pop

// The value of a line that defines its key: the text after the first '='
// up to the newline, trimmed. Nothing at all after the '=' (or no '=')
// is no value.
std::optional<std::string> LineValue(const char *line) {
    const char *eq = strchr(line, '=');
    if (!eq) return std::nullopt;
    std::string value(eq + 1);
    if (!value.empty() && value.back() == '\n') value.pop_back();
    if (value.empty()) return std::nullopt;
    XLIBCStrTrimSpace(value.data(), nullptr);
    value.resize(strlen(value.c_str()));
    return value;
}

// The old file's owner, group and mode, refusing directories.
bool StatOld(FILE *f, struct stat *st, const char *module) {
    if (fstat(fileno(f), st) != 0) {
        KEST_RAISE(ERR_STAT, module);
        return false;
    }
    if (S_ISDIR(st->st_mode)) {
        KEST_RAISE(ERR_OPEN, module);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

int XLIBCFileLineKeyMatch(const char *line, const char *key) {
    if (!line || !key) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "file_line_key_match");
        return 0;
    }
    if (IsComment(line)) return 0;
    // The first non-empty token before an '=', trimmed; read in place, as
    // this runs for every line of every lookup.
    const char *begin = line;
    while (*begin == '=') ++begin;
    if (!*begin) return 0;
    const char *end = strchr(begin, '=');
    if (!end) end = begin + strlen(begin);
    kest::core::TrimRange(&begin, &end, nullptr, true);
    size_t n = static_cast<size_t>(end - begin);
    return n == strlen(key) && memcmp(begin, key, n) == 0 ? 1 : 0;
}

int XLIBCFileGetKeyValue(const char *path, const char *key, char *buffer, int size, int flags) {
    static const char *const kModule = "file_get_key_value";
    if (!path || !key || flags < 0 || (!buffer && size != 0) || size < 0) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    File f(fopen(path, "re"));
    if (!f) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    LineReader reader(f.get());
    std::optional<std::string> deciding;
    while (char *line = reader.Next()) {
        if (!XLIBCFileLineKeyMatch(line, key)) continue;
        deciding = LineValue(line);
        if (!(flags & KV_LAST_MATCH)) break;
    }
    if (reader.failed()) {
        // A directory opens but cannot be read.
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    if (!deciding) {
        KEST_RAISE(ERR_KEY_NOT_FOUND, kModule);
        return 0;
    }
    size_t needed = deciding->size() + 1;
    if (buffer) {
        if (needed > static_cast<size_t>(size)) {
            KEST_RAISE(ERR_BUFFER_SIZE, kModule);
            return -1;
        }
        memcpy(buffer, deciding->c_str(), needed);
    }
    return static_cast<int>(needed);
}

int XLIBCFileCheckKeyValue(const char *path, const char *key, const char *expected, int def) {
    static const char *const kModule = "file_check_key_value";
    if (!path || !key || !expected) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return 0;
    }
    char value[512];
    int r = XLIBCFileGetKeyValue(path, key, value, sizeof value, 0);
    if (r < 0) {
        KEST_LOG(LOG_DEBUG, kModule, "XLIBCFileGetKeyValue(%s) failed " KEST_ERR_FMT, key, KEST_ERR_ARGS);
        return 0;
    }
    if (r == 0) return def;
    return strcasecmp(value, expected) == 0 ? 1 : 0;
}

int XLIBCFileSetKeyValue(const char *path, const char *key, const char *value, const char *format) {
    static const char *const kModule = "file_set_key_value";
    if (!path || !key || !value) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    if (!format) format = kDefaultFormat;
    ReplaceFile out(path);
    File old(fopen(path, "re"));
    if (!old) {
        // A missing file is made through the same temporary file, so a
        // crash leaves no half line and a dangling link at the path is
        // replaced, never followed.
        if (!out.Open()) {
            KEST_RAISE(ERR_OPEN, kModule);
            return -1;
        }
        if (!WriteFormatted(out.stream(), format, key, value) || !out.Finish(static_cast<uid_t>(-1), 0, -1)) {
            KEST_RAISE(ERR_WRITE, kModule);
            return -1;
        }
        if (!out.Commit()) {
            KEST_RAISE(ERR_RENAME, kModule);
            return -1;
        }
        return 1;
    }
    struct stat st;
    if (!StatOld(old.get(), &st, kModule)) return -1;
    if (!out.Open()) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    LineReader reader(old.get());
    bool replaced = false;
    std::string last_line;
    while (char *line = reader.Next()) {
        last_line.assign(line, reader.length());
        bool ok = true;
        if (XLIBCFileLineKeyMatch(line, key)) {
            if (replaced) continue;
            replaced = true;
            // The old line's own key text, exactly as it stood.
            std::string old_key(line, strcspn(line, "=\n"));
            ok = WriteFormatted(out.stream(), format, old_key.c_str(), value);
        } else {
            ok = fwrite(line, 1, reader.length(), out.stream()) == reader.length();
        }
        if (!ok) {
            KEST_RAISE(ERR_WRITE, kModule);
            return -1;
        }
    }
    if (reader.failed()) {
        KEST_RAISE(ERR_WRITE, kModule);
        return -1;
    }
    if (!replaced) {
        if ((!last_line.empty() && !EndsWithNewline(last_line) && fputc('\n', out.stream()) == EOF) ||
            !WriteFormatted(out.stream(), format, key, value)) {
            KEST_RAISE(ERR_WRITE, kModule);
            return -1;
        }
    }
    if (!out.Finish(st.st_uid, st.st_gid, static_cast<int>(st.st_mode & 07777))) {
        KEST_RAISE(ERR_WRITE, kModule);
        return -1;
    }
    if (!out.Commit()) {
        KEST_RAISE(ERR_RENAME, kModule);
        return -1;
    }
    return 1;
}

int XLIBCFileGetKeys(const char *path, const SzList *wanted, SzHash **hash, const char *separators) {
    static const char *const kModule = "file_get_keys";
    if (!path || !hash || !*hash || !separators) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    // A working copy of the wanted keys: each is struck off when stored,
    // so the first line of a key wins and reading ends when all are found.
    List pending;
    if (wanted) {
        SzList *copy = XLIBCSzListAlloc(512);
        if (!copy) return -1;
        if (!XLIBCSzListOr(&copy, wanted, 0)) {
            XLIBCSzListFree(copy);
            KEST_LOG(LOG_ERR, kModule, "XLIBCSzListOr() failed!! kesterr=[0x%04X]", XLIBCErrGet());
            return -1;
        }
        pending.reset(copy);
    }
    File f(fopen(path, "re"));
    if (!f) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    LineReader reader(f.get());
    while (char *line = (pending && pending->count == 0) ? nullptr : reader.Next()) {
        if (IsComment(line)) continue;
        char *cursor = line;
        char *key = XLIBCStrNextToken(&cursor, separators);
        if (!key || !cursor) continue;
        char *value = cursor;
        XLIBCStrTrimSpace(key, nullptr);
        XLIBCStrTrimSpace(value, nullptr);
        if (pending) {
            int at = XLIBCSzListFind(pending.get(), key);
            if (at < 0) continue;
            XLIBCSzListRemove(pending.get(), at);
        }
        if (XLIBCSzHashSetValue(hash, key, value) < 0) {
            KEST_RAISE(ERR_OUT_OF_MEMORY, kModule);
            return -1;
        }
    }
    return (*hash)->count;
}

int XLIBCFileSetKeys(const char *path, SzHash *set, SzHash *remove, const char *format) {
    static const char *const kModule = "file_set_keys";
    if (!path || !set) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    if (!format) format = kDefaultFormat;
    File old(fopen(path, "re"));
    uid_t uid = getuid();
    gid_t gid = getgid();
    int mode = 0644;
    if (old) {
        struct stat st;
        if (!StatOld(old.get(), &st, kModule)) return -1;
        uid = st.st_uid;
        gid = st.st_gid;
        mode = static_cast<int>(st.st_mode & 07777);
    }
    ReplaceFile out(path);
    if (!out.Open()) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    int changed = 0;
    std::string last_line;
    if (old) {
        LineReader reader(old.get());
        while (char *line = reader.Next()) {
            last_line.assign(line, reader.length());
            std::string trimmed(line);
            XLIBCStrTrimSpace(trimmed.data(), nullptr);
            trimmed.resize(strlen(trimmed.c_str()));
            bool written = false;
            if (!trimmed.empty() && !IsComment(trimmed.c_str())) {
                char *cursor = trimmed.data();
                char *key = XLIBCStrNextToken(&cursor, "=");
                if (key) {
                    XLIBCStrTrimSpace(key, nullptr);
                    if (remove && XLIBCSzHashGetValue(remove, key)) {
                        if (!XLIBCSzHashRemoveKey(remove, key))
                            KEST_LOG(LOG_ERR, kModule, "XLIBCSzHashRemoveKey() szKey=%s", key);
                        ++changed;
                        continue;
                    }
                    if (const char *v = XLIBCSzHashGetValue(set, key)) {
                        std::string value(v);
                        if (!WriteFormatted(out.stream(), format, key, value.c_str())) {
                            KEST_LOG(LOG_ERR, kModule, "XLIBILineKeyMoveHash2File() failed! szBuf=%s, szFormat=%s", line,
                                     format);
                            KEST_RAISE(ERR_WRITE, kModule);
                            return -1;
                        }
                        XLIBCSzHashRemoveKey(set, key);
                        ++changed;
                        written = true;
                    }
                }
            }
            if (!written && fwrite(line, 1, reader.length(), out.stream()) != reader.length()) {
                KEST_RAISE(ERR_WRITE, kModule);
                return -1;
            }
        }
        if (reader.failed()) {
            KEST_RAISE(ERR_WRITE, kModule);
            return -1;
        }
    }
    SzList *keys = XLIBCSzListAlloc(512);
    if (!keys || XLIBCSzHashEnumKey(set, &keys) < 0) {
        XLIBCSzListFree(keys);
        KEST_LOG(LOG_ERR, kModule, "XLIBCSzHashEnumKey() failed!");
        return -1;
    }
    List key_list(keys);
    bool need_newline = !last_line.empty() && !EndsWithNewline(last_line);
    for (int i = 0; i < key_list->count; ++i) {
        const char *key = key_list->items[i];
        if (!*key) continue;
        // An appended line must not run on from an old last line that has
        // no newline: that would change the old line's value.
        if (need_newline && fputc('\n', out.stream()) == EOF) {
            KEST_RAISE(ERR_WRITE, kModule);
            return -1;
        }
        need_newline = false;
        if (!WriteFormatted(out.stream(), format, key, XLIBCSzHashGetValue(set, key))) {
            KEST_RAISE(ERR_WRITE, kModule);
            return -1;
        }
        ++changed;
    }
    if (!out.Finish(uid, gid, mode)) {
        KEST_RAISE(ERR_WRITE, kModule);
        return -1;
    }
    if (!out.Commit()) {
        int err = errno;
        KEST_LOG(LOG_ERR, kModule, "file set keys rename fail %d [%m]", err);
        KEST_RAISE(ERR_RENAME, kModule);
        return -1;
    }
    return changed;
}

int XLIBCFileGetPair(const char *path, SzHash **hash) {
    static const char *const kModule = "file_get_pair";
    if (!path || !hash || !*hash) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    File f(fopen(path, "re"));
    if (!f) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    SzList *pair = XLIBCSzListAlloc(512);
    if (!pair) return -1;
    List owner(pair);
    LineReader reader(f.get());
    while (char *line = reader.Next()) {
        if (IsComment(line)) continue;
        XLIBCSzListRemoveAll(owner.get());
        SzList *p = owner.release();
        int r = XLIBCStrSepPair(line, &p);
        owner.reset(p);
        if (r < 0) continue;
        if (XLIBCSzHashSetValue(hash, owner->items[0], owner->items[1]) < 0) return -1;
    }
    return (*hash)->count;
}

int XLIBCFileEnumSection(const char *path, SzList **list) {
    static const char *const kModule = "file_enum_section";
    if (!path || !list || !*list) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    File f(fopen(path, "re"));
    if (!f) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    LineReader reader(f.get());
    while (char *line = reader.Next()) {
        if (line[0] != '[') continue;
        size_t end = reader.length();
        while (end > 0 && isspace(static_cast<unsigned char>(line[end - 1]))) --end;
        if (end == 0 || line[end - 1] != ']') continue;
        if (reader.length() >= 1024) return -1;
        char header[1024];
        memcpy(header, line, reader.length() + 1);
        XLIBCStrTrimSpace(header, nullptr);
        char *close = strrchr(header, ']');
        if (close) *close = '\0';
        if (XLIBCSzListPush(list, header + 1) < 0) return -1;
    }
    return (*list)->count;
}

int XLIBCFileLineMatch(const char *text, const char *pattern, int flags) {
    static const char *const kModule = "file_line_match";
    if (!text || !pattern || flags < 0) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return 0;
    }
    if (IsComment(text)) return 0;
    std::string t, p;
    try {
        t = text;
        p = pattern;
    } catch (const std::bad_alloc &) {
        KEST_RAISE(ERR_OUT_OF_MEMORY, kModule);
        return 0;
    }
    if (flags & LINE_MATCH_CASE) {
        for (std::string *s : {&t, &p}) {
            int n = XLIBCUtf8StrUpper(s->c_str(), nullptr, 0);
            if (n < 0) return 0;
            std::string upper(static_cast<size_t>(n) + 1, '\0');
            if (XLIBCUtf8StrUpper(s->c_str(), upper.data(), n + 1) != n) return 0;
            upper.resize(static_cast<size_t>(n));
            *s = upper;
        }
    }
    if (flags & LINE_MATCH_PREFIX) return t.compare(0, p.size(), p) == 0 ? 1 : 0;
    if (flags & LINE_MATCH_SUFFIX) {
        size_t nl = t.rfind('\n');
        std::string body = nl == std::string::npos ? t : t.substr(0, nl);
        return body.size() >= p.size() && body.compare(body.size() - p.size(), p.size(), p) == 0 ? 1 : 0;
    }
    return t.find(p) != std::string::npos ? 1 : 0;
}

int XLIBCFileReadLines(const char *path, SzList **list) {
    static const char *const kModule = "file_read_lines";
    if (!path || !list || !*list) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    File f(fopen(path, "re"));
    if (!f) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    char buf[1024];
    while (fgets(buf, sizeof buf, f.get()))
        if (XLIBCSzListPush(list, buf) < 0) return -1;
    return ferror(f.get()) ? -1 : 0;
}

}
