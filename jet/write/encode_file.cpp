// Encoding a database file in place, page by page.
#include "jet/write/encode_file.h"

#include <fstream>
#include <span>
#include <vector>

#include "jet/base/error.h"
#include "jet/base/format.h"
#include "jet/page/file.h"
#include "jet/write/pager.h"

namespace jet {

void set_database_key(const std::string& path, std::uint32_t database_key) {
    Header h;
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw Error("Could not find file '" + path + "'.");
        std::vector<std::uint8_t> first(kJet4PageSize);
        in.read(reinterpret_cast<char*>(first.data()), static_cast<std::streamsize>(first.size()));
        first.resize(static_cast<std::size_t>(in.gcount()));
        h = decode_header(first, path);  // no password check: only the header changes
    }
    const std::uint32_t page_size = h.page_size;
    const std::uint32_t old_key = h.database_key;
    PageWriter pager = PageWriter::open(path, page_size);
    const FormatInfo& fmt = format_info(h.format);

    // The key field lies in the header's masked area: unmask, set, mask.
    std::vector<std::uint8_t> header = pager.read(0);
    std::span<std::uint8_t> masked(header.data() + kHeaderMaskedOffset, fmt.header_masked_length);
    rc4_apply(kHeaderRc4Key, masked);
    for (int i = 0; i < 4; ++i) {
        header[kHeaderDbKeyOffset + i] = static_cast<std::uint8_t>(database_key >> (8 * i));
    }
    rc4_apply(kHeaderRc4Key, masked);

    for (std::uint32_t page = 1; page < pager.page_count(); ++page) {
        pager.set_page_key(old_key);
        std::vector<std::uint8_t> image = pager.read(page);
        pager.set_page_key(database_key);
        pager.write(page, image);
    }
    pager.set_page_key(0);
    pager.write(0, header);
    pager.sync();
    pager.close();
}

}  // namespace jet
