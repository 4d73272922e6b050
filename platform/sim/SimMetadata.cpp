#include "platform/sim/SimMetadata.h"

#include "platform/sim/SimulatedPc.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform::sim {

namespace {

// Keys may hold any character but '/' separators are kept; tabs, newlines and backslashes
// are escaped so that a record stays one line. The characters escaped, and the letter that
// stands for each after a backslash:
constexpr std::string_view Escaped = "\\\t\n\r";
constexpr std::string_view EscapeLetters = "\\tnr";

std::string Escape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (const auto k = Escaped.find(c); k != std::string_view::npos) {
            out += '\\';
            out += EscapeLetters[k];
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            const char n = s[++i];
            const auto k = EscapeLetters.find(n);
            out += k == std::string_view::npos ? n : Escaped[k];
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t start = 0, tab = 0; tab != std::string_view::npos; start = tab + 1) {
        tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start)); // the last field runs to the end
    }
    return fields;
}

bool IsBelow(const std::string& key, const std::string& prefix) {
    return prefix.empty() || key == prefix ||
           (key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0 &&
            key[prefix.size()] == '/');
}

std::string SetRecord(const std::string& key, const EntryMeta& m) {
    return "S\t" + Escape(key) + "\t" + std::to_string(m.attributes) + "\t" + std::to_string(m.creation) +
           "\t" + std::to_string(m.lastAccess) + "\t" + std::to_string(m.lastWrite) + "\t" +
           std::to_string(m.sequence) + "\n";
}

DWORD WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
        }
        done += static_cast<size_t>(n);
    }
    return ERROR_SUCCESS;
}

} // namespace

MetadataStore::~MetadataStore() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

DWORD MetadataStore::Open(const std::string& journalPath, std::string* error) {
    path_ = journalPath;
    if (path_.empty()) {
        return ERROR_SUCCESS;
    }
    // Every instance holds a shared lock on the journal while it appends; only an instance that
    // gets it exclusively may rewrite (compact) it, so that nobody goes on appending to a file
    // that was replaced under it (simpc show while the utility runs, say).
    bool exclusive = false;
    for (int attempt = 0;; ++attempt) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            *error = "cannot open " + path_ + ": " + std::strerror(errno);
            return ERROR_WRITE_FAULT;
        }
        exclusive = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
        if (!exclusive && ::flock(fd_, LOCK_SH) != 0) {
            *error = "cannot lock " + path_ + ": " + std::strerror(errno);
            return ERROR_SHARING_VIOLATION;
        }
        struct stat opened {};
        struct stat named {};
        if (::fstat(fd_, &opened) == 0 && ::stat(path_.c_str(), &named) == 0 &&
            opened.st_ino == named.st_ino) {
            break;
        }
        // Replaced by a compaction between our open and our lock: open the new one.
        ::close(fd_);
        fd_ = -1;
        if (attempt == 10) {
            *error = "the journal " + path_ + " keeps changing";
            return ERROR_SHARING_VIOLATION;
        }
    }

    std::string text;
    char buffer[65536];
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(fd_, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *error = "cannot read " + path_ + ": " + std::strerror(errno);
            return ERROR_READ_FAULT;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            // A record cut short (the process died while appending): ignore it, and make sure
            // the next record starts on a line of its own.
            needsNewline_ = true;
            break;
        }
        Apply(text.substr(pos, end - pos));
        ++records_;
        pos = end + 1;
    }
    if (exclusive && (records_ > 2 * entries_.size() + 256 || needsNewline_)) {
        if (const DWORD err = Compact(); err != ERROR_SUCCESS) {
            *error = "cannot compact " + path_;
            return err;
        }
    }
    if (exclusive) {
        ::flock(fd_, LOCK_SH); // from exclusive to shared cannot fail for want of the lock
    }
    return ERROR_SUCCESS;
}

void MetadataStore::Apply(const std::string& line) {
    const auto f = SplitTabs(line);
    if (f.empty()) {
        return;
    }
    if (f[0] == "S" && f.size() == 7) {
        EntryMeta m;
        if (ParseSimNumber(f[2], &m.attributes) && ParseSimNumber(f[3], &m.creation) &&
            ParseSimNumber(f[4], &m.lastAccess) && ParseSimNumber(f[5], &m.lastWrite) &&
            ParseSimNumber(f[6], &m.sequence)) {
            entries_[Unescape(f[1])] = m;
            lastSequence_ = std::max(lastSequence_, m.sequence);
        }
    } else if (f[0] == "D" && f.size() == 2) {
        const std::string key = Unescape(f[1]);
        std::erase_if(entries_, [&](const auto& e) { return IsBelow(e.first, key); });
    } else if (f[0] == "M" && f.size() == 3) {
        const std::string from = Unescape(f[1]);
        const std::string to = Unescape(f[2]);
        std::vector<std::pair<std::string, EntryMeta>> moved;
        for (const auto& [key, meta] : entries_) {
            if (IsBelow(key, from)) {
                moved.emplace_back(to + key.substr(from.size()), meta);
            }
        }
        // What was at the target goes; the moved entries take its place.
        std::erase_if(entries_,
                      [&](const auto& e) { return IsBelow(e.first, from) || IsBelow(e.first, to); });
        for (auto& [k, m] : moved) {
            entries_[k] = m;
        }
    } else if (f[0] == "C") {
        entries_.clear();
    }
    // Unknown records come from a newer program: leave them alone.
}

DWORD MetadataStore::Compact() {
    const std::string temp = path_ + ".tmp";
    const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return ERROR_WRITE_FAULT;
    }
    std::string all;
    for (const auto& [key, meta] : entries_) {
        all += SetRecord(key, meta);
    }
    DWORD err = WriteAll(fd, all);
    if (err == ERROR_SUCCESS && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = ERROR_SHARING_VIOLATION;
    }
    if (err == ERROR_SUCCESS && ::rename(temp.c_str(), path_.c_str()) != 0) {
        err = ERROR_WRITE_FAULT;
    }
    if (err != ERROR_SUCCESS) {
        ::close(fd);
        ::unlink(temp.c_str());
        return err;
    }
    ::close(fd_);
    fd_ = fd; // the compacted journal, locked like the old one
    records_ = entries_.size();
    needsNewline_ = false;
    return ERROR_SUCCESS;
}

DWORD MetadataStore::Append(const std::string& record) {
    ++records_;
    if (fd_ < 0) {
        return ERROR_SUCCESS; // memory only
    }
    if (needsNewline_) {
        if (const DWORD err = WriteAll(fd_, "\n"); err != ERROR_SUCCESS) {
            return err;
        }
        needsNewline_ = false;
    }
    return WriteAll(fd_, record);
}

const EntryMeta* MetadataStore::Find(const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
}

EntryMeta* MetadataStore::FindMutable(const std::string& key) {
    return const_cast<EntryMeta*>(Find(key));
}

EntryMeta& MetadataStore::Set(const std::string& key, const EntryMeta& meta) {
    EntryMeta& m = entries_[key];
    m = meta;
    lastSequence_ = std::max(lastSequence_, m.sequence);
    return m;
}

DWORD MetadataStore::Persist(const std::string& key) {
    const EntryMeta* m = Find(key);
    return m == nullptr ? ERROR_SUCCESS : Append(SetRecord(key, *m));
}

DWORD MetadataStore::Remove(const std::string& key) {
    return Change("D\t" + Escape(key));
}

DWORD MetadataStore::Move(const std::string& from, const std::string& to) {
    return Change("M\t" + Escape(from) + "\t" + Escape(to));
}

DWORD MetadataStore::Clear() {
    return Change("C");
}

DWORD MetadataStore::Change(const std::string& record) {
    Apply(record);
    return Append(record + "\n");
}

} // namespace platform::sim
