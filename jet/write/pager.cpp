// Page writer: exclusive creation, whole-page writes with pwrite.
#include "jet/write/pager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>

#include "jet/base/error.h"
#include "jet/page/sync.h"
#include "jet/page/file.h"

namespace jet {

namespace {
std::string errno_text() { return std::strerror(errno); }
}  // namespace

PageWriter PageWriter::create(const std::string& path, std::uint32_t page_size) {
    PageWriter w;
    w.path_ = path;
    w.page_size_ = page_size;
    w.fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (w.fd_ < 0) {
        if (errno == EEXIST) {
            throw Error("Database '" + path + "' already exists.");
        }
        throw Error("Could not create database '" + path + "': " + errno_text());
    }
    return w;
}

PageWriter PageWriter::open(const std::string& path, std::uint32_t page_size) {
    PageWriter w;
    w.path_ = path;
    w.page_size_ = page_size;
    w.fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (w.fd_ < 0) throw Error("Could not open database '" + path + "' for writing: " + errno_text());
    struct stat st {};
    if (::fstat(w.fd_, &st) != 0) throw Error("Could not open database '" + path + "': " + errno_text());
    if (st.st_size <= 0 || st.st_size % page_size != 0 ||
        st.st_size / page_size > 0x00FFFFFF) {
        throw Error("Database '" + path + "' is not a whole number of pages; it cannot be written.");
    }
    w.page_count_ = static_cast<std::uint32_t>(st.st_size / page_size);
    w.disk_end_ = w.page_count_;
    return w;
}

void PageWriter::set_before_overwrite(BeforeOverwrite hook) {
    before_overwrite_ = std::move(hook);
    original_pages_ = before_overwrite_ ? page_count_ : 0;
    seen_.assign(original_pages_, false);
}

PageWriter::PageWriter(PageWriter&& other) noexcept { *this = std::move(other); }

PageWriter& PageWriter::operator=(PageWriter&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
        page_size_ = other.page_size_;
        page_count_ = other.page_count_;
        page_key_ = other.page_key_;
        before_overwrite_ = std::move(other.before_overwrite_);
        original_pages_ = other.original_pages_;
        seen_ = std::move(other.seen_);
        observer_ = std::move(other.observer_);
        comparing_ = other.comparing_;
        differing_ = std::move(other.differing_);
        run_ = std::move(other.run_);
        run_set_ = std::move(other.run_set_);
        run_first_ = other.run_first_;
        disk_end_ = other.disk_end_;
        unflushed_ = other.unflushed_;
    }
    return *this;
}

PageWriter::~PageWriter() {
    if (fd_ >= 0) ::close(fd_);
}

void PageWriter::begin_compare() {
    write_run();
    comparing_ = true;
    differing_.clear();
}

std::vector<std::uint32_t> PageWriter::end_compare() {
    comparing_ = false;
    return std::exchange(differing_, {});
}

std::uint32_t PageWriter::allocate() {
    if (comparing_) throw Error("Internal error: a page allocated while comparing");
    if (page_count_ >= 0x00FFFFFFu) throw Error("Database '" + path_ + "' is full.");
    return page_count_++;
}

void PageWriter::write(std::uint32_t page, std::span<const std::uint8_t> image) {
    if (fd_ < 0) throw Error("Database '" + path_ + "' is closed.");
    if (image.size() != page_size_ || page >= page_count_) {
        throw Error("Internal error: bad page write to page " + std::to_string(page));
    }
    if (comparing_) {
        if (read(page) != std::vector<std::uint8_t>(image.begin(), image.end())) {
            differing_.push_back(page);
        }
        return;
    }
    if (before_overwrite_ && page < original_pages_ && !seen_[page]) {
        before_overwrite_(page, read_stored(page));
        seen_[page] = true;
    }
    std::vector<std::uint8_t> encoded;
    if (page_key_ != 0 && page != 0) {
        encoded.assign(image.begin(), image.end());
        rc4_page(page_key_, page, encoded);
        image = encoded;
    }
    if (!observer_) {
        gather(page, image);
        return;
    }
    write_run();
    observer_(page, false);
    write_at(image.data(), image.size(), static_cast<std::uint64_t>(page) * page_size_);
    observer_(page, true);
}

void PageWriter::write_at(const std::uint8_t* data, std::size_t left, std::uint64_t offset) {
    auto at = static_cast<off_t>(offset);
    const std::size_t size = left;
    disk_end_ = std::max(disk_end_, static_cast<std::uint32_t>((offset + left + page_size_ - 1) / page_size_));
    while (left > 0) {
        ssize_t n = ::pwrite(fd_, data, left, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error("Could not write database '" + path_ + "': " + errno_text());
        }
        data += n;
        left -= static_cast<std::size_t>(n);
        at += n;
    }
    // Ask the kernel to start writing back every few megabytes, so that the
    // sync at the end of a large write waits for little.
    unflushed_ += size;
    if (unflushed_ >= 8 * kRunBytes) {
#ifdef __linux__
        ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
        unflushed_ = 0;
    }
}

// Pages are gathered in a window of kRunBytes: the copy of a table fills
// long-value pages while its data page waits for rows, so pages reach the
// writer a little out of order. A window that opens above the end of the
// file starts a few pages lower, where such a waiting page lies; a page
// below the window (one that waited longer) is written by itself and the
// window stays.
void PageWriter::gather(std::uint32_t page, std::span<const std::uint8_t> image) {
    const std::uint32_t window = static_cast<std::uint32_t>(kRunBytes / page_size_);
    if (!run_set_.empty() && page < run_first_) {
        write_at(image.data(), page_size_, static_cast<std::uint64_t>(page) * page_size_);
        return;
    }
    if (run_set_.empty() || page - run_first_ >= window) {
        write_run();
        run_first_ = page;
        if (page >= disk_end_) run_first_ = std::max(disk_end_, page > kRunBelow ? page - kRunBelow : 0);
        run_.resize(kRunBytes);
        run_set_.assign(window, false);
    }
    const std::uint32_t k = page - run_first_;
    std::memcpy(run_.data() + static_cast<std::size_t>(k) * page_size_, image.data(), page_size_);
    run_set_[k] = true;
}

// Each stretch of gathered pages goes out in one write. Pages between two
// stretches that lie beyond the end of the file hold zeros on disk and in
// the window alike, so they join the stretches around them; pages below it
// that were not written are left alone.
void PageWriter::write_run() {
    if (run_set_.empty()) return;
    // Cleared first: a failed write is reported once, not again at close.
    std::vector<bool> set = std::move(run_set_);
    run_set_.clear();
    const std::uint32_t end_before = disk_end_;
    const std::size_t n = set.size();
    std::size_t last = n;
    while (last > 0 && !set[last - 1]) --last;
    std::size_t k = 0;
    while (k < last) {
        if (!set[k]) {
            ++k;
            continue;
        }
        std::size_t e = k + 1;
        while (e < last && (set[e] || run_first_ + e >= end_before)) {
            if (!set[e]) std::memset(run_.data() + e * page_size_, 0, page_size_);
            ++e;
        }
        write_at(run_.data() + k * page_size_, (e - k) * page_size_,
                 static_cast<std::uint64_t>(run_first_ + k) * page_size_);
        k = e;
    }
}

std::vector<std::uint8_t> PageWriter::read(std::uint32_t page) const {
    std::vector<std::uint8_t> out = read_stored(page);
    if (page_key_ != 0 && page != 0) {
        bool written = false;
        for (std::uint8_t b : out) written = written || b != 0;
        if (written) rc4_page(page_key_, page, out);
    }
    return out;
}

std::vector<std::uint8_t> PageWriter::read_stored(std::uint32_t page) const {
    std::vector<std::uint8_t> out(page_size_, 0);
    if (fd_ < 0 || page >= page_count_) return out;
    if (page >= run_first_ && page - run_first_ < run_set_.size() && run_set_[page - run_first_]) {
        const auto* p = run_.data() + static_cast<std::size_t>(page - run_first_) * page_size_;
        std::memcpy(out.data(), p, page_size_);
        return out;
    }
    std::size_t got = 0;
    off_t at = static_cast<off_t>(page) * page_size_;
    while (got < out.size()) {
        ssize_t n = ::pread(fd_, out.data() + got, out.size() - got, at + static_cast<off_t>(got));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error("Could not read database '" + path_ + "': " + errno_text());
        }
        if (n == 0) break;  // beyond the end: still zeros
        got += static_cast<std::size_t>(n);
    }
    return out;
}

void PageWriter::sync() {
    if (fd_ < 0 || comparing_) return;
    write_run();
    off_t want = static_cast<off_t>(page_count_) * page_size_;
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_size < want) {
        if (::ftruncate(fd_, want) != 0) {
            throw Error("Could not write database '" + path_ + "': " + errno_text());
        }
    }
    if (sync_needed(path_) && ::fsync(fd_) != 0) {
        throw Error("Could not write database '" + path_ + "': " + errno_text());
    }
}

void PageWriter::close() {
    if (fd_ < 0) return;
    sync();
    ::close(fd_);
    fd_ = -1;
}

}  // namespace jet
