#include "service_log.h"

#include <ctime>
#include <utility>

namespace conf::service {

ServiceLog::ServiceLog(std::string path, std::size_t limit_bytes, std::function<std::string()> stamp)
    : path_(std::move(path)), limit_bytes_(limit_bytes), stamp_(std::move(stamp)) {}

ServiceLog::~ServiceLog() {
    if (file_ != nullptr) std::fclose(file_);
}

bool ServiceLog::open(std::string* error) {
    file_ = std::fopen(path_.c_str(), "ab");
    if (file_ == nullptr) {
        *error = "cannot open " + path_;
        return false;
    }
    // Binary append mode starts at the end; its position is the size.
    std::fseek(file_, 0, SEEK_END);
    const long size = std::ftell(file_);
    size_ = size > 0 ? static_cast<std::size_t>(size) : 0;
    return true;
}

void ServiceLog::take(std::string_view bytes) {
    for (const char c : bytes) {
        if (c == '\n') {
            write_line();
            continue;
        }
        if (c == '\r') continue;  // the line break is written as CR LF anyway
        const auto byte = static_cast<unsigned char>(c);
        // Code page 932 uses no byte below 0x40 as the second of a pair, so
        // this never splits a character.
        line_ += (byte < 0x20 && c != '\t') || byte == 0x7f ? '?' : c;
        if (line_.size() >= kMaxLineBytes) write_line();
    }
}

void ServiceLog::finish() {
    if (!line_.empty()) write_line();
    if (file_ != nullptr) std::fflush(file_);
}

void ServiceLog::write_line() {
    const std::string record = stamp_() + line_ + "\r\n";
    line_.clear();
    if (file_ == nullptr) return;
    if (size_ > 0 && size_ + record.size() > limit_bytes_) begin_again();
    if (file_ == nullptr) return;
    if (std::fwrite(record.data(), 1, record.size(), file_) == record.size()) size_ += record.size();
    std::fflush(file_);
}

void ServiceLog::begin_again() {
    std::fclose(file_);
    const std::string old = path_ + ".old";
    // Windows' rename does not replace.
    std::remove(old.c_str());
    std::rename(path_.c_str(), old.c_str());
    file_ = std::fopen(path_.c_str(), "ab");
    size_ = 0;
}

std::string local_time_stamp() {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    char text[32] = "";
    if (local != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S ", local);
    return text;
}

}  // namespace conf::service
