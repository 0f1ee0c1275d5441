// The page writer: the one door through which the writing half of the
// engine changes a file.
//
// Every page the writer produces passes through PageWriter::write, so the
// rollback journal that transactions will need (original page images saved
// and synced before a page is overwritten) has exactly one place to hook in.
// A new file is created exclusively: an existing file or a missing folder is
// an error, never a silent overwrite.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace jet {

class PageWriter {
public:
    // Creates `path` (must not exist; its folder must). Throws jet::Error.
    static PageWriter create(const std::string& path, std::uint32_t page_size);
    PageWriter() = default;  // closed, no file
    PageWriter(PageWriter&& other) noexcept;
    PageWriter& operator=(PageWriter&& other) noexcept;
    PageWriter(const PageWriter&) = delete;
    PageWriter& operator=(const PageWriter&) = delete;
    ~PageWriter();

    std::uint32_t page_size() const { return page_size_; }
    // Pages handed out so far (the file grows to this many on the next write).
    std::uint32_t page_count() const { return page_count_; }
    const std::string& path() const { return path_; }

    // Reserves the next page number at the end of the file. The page holds
    // zeros until it is written.
    std::uint32_t allocate();
    // Writes one whole page image (exactly page_size bytes).
    void write(std::uint32_t page, std::span<const std::uint8_t> image);
    // Reads back a page this writer has written (zeros if never written).
    std::vector<std::uint8_t> read(std::uint32_t page) const;
    // Makes the file as long as page_count() pages and syncs it.
    void sync();
    void close();

private:
    std::string path_;
    int fd_ = -1;
    std::uint32_t page_size_ = 0;
    std::uint32_t page_count_ = 0;
};

}  // namespace jet
