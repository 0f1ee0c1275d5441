// Office encryption of ACE files: the provider record, the password check,
// the key derivations and the page ciphers, all on OpenSSL's libcrypto.
//
// Every length and offset read from the record is checked against the
// record before use, and every number that sizes work (the spin count, the
// key and salt sizes) against what the format allows, so a damaged header
// ends in a jet::Error and never in a read past the page or a hang.
#include "jet/page/office_crypt.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>

#include "jet/base/error.h"
#include "jet/base/format.h"
#include "jet/page/file.h"

namespace jet {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Header page facts this module needs besides the record itself.
constexpr char kAceEngineName[] = "Standard ACE DB";
constexpr std::size_t kEncodingKeyOffset = kHeaderDbKeyOffset;  // 0x3E
// The record may run up to where the header's own tables start again
// (plain ACE headers are zero from 0x299 to 0xDFF).
constexpr std::size_t kRecordEnd = 0xE00;
// Office's limits: a password is at most 255 UTF-16 units; the agile spin
// count at most ten million.
constexpr std::size_t kMaxPasswordUnits = 255;
constexpr std::uint32_t kMaxSpinCount = 10'000'000;

// The block keys of the agile derivation: which of the three values a
// password-derived key unwraps.
constexpr std::uint8_t kVerifierInputBlock[8] = {0xfe, 0xa7, 0xd2, 0x76, 0x3b, 0x4b, 0x9e, 0x79};
constexpr std::uint8_t kVerifierValueBlock[8] = {0xd7, 0xaa, 0x0f, 0x6d, 0x30, 0x61, 0x34, 0x4e};
constexpr std::uint8_t kKeyValueBlock[8] = {0x14, 0x6e, 0x0b, 0xe7, 0xab, 0xac, 0xd0, 0xd6};

// Standard header flags and algorithm ids.
constexpr std::uint32_t kFlagCryptoApi = 0x04;
constexpr std::uint32_t kFlagExternal = 0x10;
constexpr std::uint32_t kFlagAes = 0x20;
constexpr std::uint32_t kAlgRc4 = 0x6801;
constexpr std::uint32_t kAlgAes128 = 0x660E;
constexpr std::uint32_t kAlgAes192 = 0x660F;
constexpr std::uint32_t kAlgAes256 = 0x6610;
constexpr std::uint32_t kAlgSha1 = 0x8004;
// The spin count of standard encryption's key derivation.
constexpr std::uint32_t kStandardSpinCount = 50000;

std::uint16_t rd16(std::span<const std::uint8_t> b, std::size_t o) {
    return static_cast<std::uint16_t>(b[o] | (b[o + 1] << 8));
}
std::uint32_t rd32(std::span<const std::uint8_t> b, std::size_t o) {
    return static_cast<std::uint32_t>(b[o]) | (static_cast<std::uint32_t>(b[o + 1]) << 8) |
           (static_cast<std::uint32_t>(b[o + 2]) << 16) | (static_cast<std::uint32_t>(b[o + 3]) << 24);
}
void put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

[[noreturn]] void damaged(std::string_view path, std::string_view what) {
    throw Error("The encryption header of '" + std::string(path) + "' is damaged: " + std::string(what) +
                ".");
}
[[noreturn]] void unsupported(std::string_view path, std::string_view what) {
    throw Error("The database '" + std::string(path) + "' uses an encryption this program cannot open: " +
                std::string(what) + ".");
}
[[noreturn]] void crypto_failed(std::string_view what) {
    throw Error("The cryptographic library failed: " + std::string(what) + ".");
}

// ---- OpenSSL wrappers ------------------------------------------------------

struct MdCtx {
    EVP_MD_CTX* p = EVP_MD_CTX_new();
    MdCtx() {
        if (!p) crypto_failed("no digest context");
    }
    ~MdCtx() { EVP_MD_CTX_free(p); }
};
struct CipherCtx {
    EVP_CIPHER_CTX* p = EVP_CIPHER_CTX_new();
    CipherCtx() {
        if (!p) crypto_failed("no cipher context");
    }
    ~CipherCtx() { EVP_CIPHER_CTX_free(p); }
};

// The hash named in an agile descriptor; nullptr for a name Office does not use.
const EVP_MD* digest_named(std::string_view name) {
    if (name == "SHA1") return EVP_sha1();
    if (name == "SHA256") return EVP_sha256();
    if (name == "SHA384") return EVP_sha384();
    if (name == "SHA512") return EVP_sha512();
    return nullptr;
}

Bytes hash_of(const EVP_MD* md, std::initializer_list<std::span<const std::uint8_t>> parts) {
    MdCtx ctx;
    if (EVP_DigestInit_ex(ctx.p, md, nullptr) != 1) crypto_failed("digest init");
    for (auto part : parts) {
        if (!part.empty() && EVP_DigestUpdate(ctx.p, part.data(), part.size()) != 1) crypto_failed("digest");
    }
    Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx.p, out.data(), &n) != 1) crypto_failed("digest final");
    out.resize(n);
    return out;
}

// Truncates or pads `b` to `n` bytes.
Bytes fixed_length(Bytes b, std::size_t n, std::uint8_t pad) {
    b.resize(n, pad);
    return b;
}

// AES of the key's size: CBC with its IV, or ECB (no IV).
const EVP_CIPHER* aes(std::size_t key_bytes, bool cbc) {
    switch (key_bytes) {
    case 16: return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    case 24: return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    case 32: return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    default: return nullptr;
    }
}

enum class AesMode { kCbc, kEcb };

// AES without padding over whole blocks, in place; `iv` is CBC's (ECB
// takes none).
void aes_apply(AesMode mode, bool encrypt, std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
               std::span<std::uint8_t> data) {
    const bool cbc = mode == AesMode::kCbc;
    const EVP_CIPHER* c = aes(key.size(), cbc);
    if (!c || (cbc && iv.size() != 16) || data.size() % 16 != 0) crypto_failed("AES parameters");
    CipherCtx ctx;
    if (EVP_CipherInit_ex(ctx.p, c, nullptr, key.data(), cbc ? iv.data() : nullptr, encrypt ? 1 : 0) != 1) {
        crypto_failed("AES init");
    }
    EVP_CIPHER_CTX_set_padding(ctx.p, 0);
    int n = 0;
    if (!data.empty() &&
        EVP_CipherUpdate(ctx.p, data.data(), &n, data.data(), static_cast<int>(data.size())) != 1) {
        crypto_failed("AES");
    }
}

// OpenSSL 3 keeps RC4 in its legacy provider. It is loaded into a library
// context of our own, so the process's default context stays as the
// program (or a library beside it) configured it.
const EVP_CIPHER* rc4_cipher() {
    struct Rc4 {
        OSSL_LIB_CTX* lib = nullptr;
        EVP_CIPHER* cipher = nullptr;
        Rc4() {
            lib = OSSL_LIB_CTX_new();
            if (!lib) return;
            OSSL_PROVIDER_load(lib, "legacy");
            OSSL_PROVIDER_load(lib, "default");
            cipher = EVP_CIPHER_fetch(lib, "RC4", nullptr);
        }
    };
    static const Rc4 rc4;  // lives as long as the process
    if (!rc4.cipher) {
        throw Error("RC4 is not available from this system's OpenSSL (its legacy provider is missing).");
    }
    return rc4.cipher;
}

void rc4_apply_key(std::span<const std::uint8_t> key, std::span<std::uint8_t> data) {
    CipherCtx ctx;
    if (EVP_CipherInit_ex2(ctx.p, rc4_cipher(), nullptr, nullptr, 1, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_key_length(ctx.p, static_cast<int>(key.size())) != 1 ||
        EVP_CipherInit_ex2(ctx.p, nullptr, key.data(), nullptr, 1, nullptr) != 1) {
        crypto_failed("RC4 init");
    }
    int n = 0;
    if (!data.empty() &&
        EVP_CipherUpdate(ctx.p, data.data(), &n, data.data(), static_cast<int>(data.size())) != 1) {
        crypto_failed("RC4");
    }
}

// ---- texts -----------------------------------------------------------------

// The password as Office hashes it: UTF-16LE, at most 255 units. Invalid
// UTF-8 bytes count as U+FFFD (no password matches them anyway).
Bytes password_bytes(std::string_view utf8) {
    Bytes out;
    std::size_t units = 0;
    auto unit = [&](std::uint16_t u) {
        out.push_back(static_cast<std::uint8_t>(u));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
        ++units;
    };
    for (std::size_t i = 0; i < utf8.size() && units < kMaxPasswordUnits;) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c >> 5) == 6) {
            len = 2;
        } else if ((c >> 4) == 14) {
            len = 3;
        } else if ((c >> 3) == 30) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > utf8.size()) {
                len = 1;
            } else {
                cp = c & (0x7F >> len);
                for (std::size_t k = 1; k < len; ++k) {
                    const auto cc = static_cast<unsigned char>(utf8[i + k]);
                    if ((cc >> 6) != 2) {
                        cp = 0xFFFD;
                        len = 1;
                        break;
                    }
                    cp = (cp << 6) | (cc & 0x3F);
                }
            }
        }
        i += len;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            if (units + 2 > kMaxPasswordUnits) break;
            cp -= 0x10000;
            unit(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
            unit(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            unit(static_cast<std::uint16_t>(cp > 0xFFFF ? 0xFFFD : cp));
        }
    }
    return out;
}

std::string base64_encode(std::span<const std::uint8_t> b) {
    std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), b.data(),
                                  static_cast<int>(b.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// Standard base64 with its padding; anything else is a damaged header.
bool base64_decode(std::string_view text, Bytes& out) {
    std::string clean;
    for (char c : text) {
        if (c != ' ' && c != '\r' && c != '\n' && c != '\t') clean += c;
    }
    if (clean.empty() || clean.size() % 4 != 0) return false;
    out.assign(clean.size() / 4 * 3, 0);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0) return false;
    std::size_t pad = 0;
    while (pad < 2 && clean[clean.size() - 1 - pad] == '=') ++pad;
    out.resize(static_cast<std::size_t>(n) - pad);
    return true;
}

// The attributes of the first element named `local` (with or without a
// namespace prefix) that has attribute `must_have`, from a descriptor
// small enough to scan whole. Only what the descriptor uses: name="value"
// or name='value', no entities (none of the values can hold one).
bool element_attributes(std::string_view xml, std::string_view local, std::string_view must_have,
                        std::map<std::string, std::string, std::less<>>& attrs) {
    for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
        std::size_t name_end = at + 1;
        while (name_end < xml.size() && xml[name_end] != ' ' && xml[name_end] != '>' &&
               xml[name_end] != '/' && xml[name_end] != '\r' && xml[name_end] != '\n' && xml[name_end] != '\t') {
            ++name_end;
        }
        std::string_view name = xml.substr(at + 1, name_end - at - 1);
        if (auto colon = name.find(':'); colon != std::string_view::npos) name = name.substr(colon + 1);
        if (name != local) continue;
        attrs.clear();
        std::size_t i = name_end;
        bool closed = false;
        while (i < xml.size()) {
            while (i < xml.size() && (xml[i] == ' ' || xml[i] == '\r' || xml[i] == '\n' || xml[i] == '\t')) ++i;
            if (i >= xml.size()) break;
            if (xml[i] == '>' || xml[i] == '/') {
                closed = true;
                break;
            }
            const std::size_t eq = xml.find('=', i);
            if (eq == std::string_view::npos || eq + 1 >= xml.size()) break;
            const char quote = xml[eq + 1];
            if (quote != '"' && quote != '\'') break;
            const std::size_t end = xml.find(quote, eq + 2);
            if (end == std::string_view::npos) break;
            std::string_view key = xml.substr(i, eq - i);
            while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
            attrs.emplace(std::string(key), std::string(xml.substr(eq + 2, end - eq - 2)));
            i = end + 1;
        }
        if (closed && attrs.count(std::string(must_have))) return true;
    }
    return false;
}

std::uint32_t number_attr(const std::map<std::string, std::string, std::less<>>& a, std::string_view key,
                          std::string_view path) {
    auto it = a.find(key);
    if (it == a.end()) damaged(path, "the descriptor has no " + std::string(key));
    const std::string& s = it->second;
    if (s.empty() || s.size() > 10) damaged(path, std::string(key) + " is not a number");
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') damaged(path, std::string(key) + " is not a number");
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) damaged(path, std::string(key) + " is out of range");
    return static_cast<std::uint32_t>(v);
}

std::string text_attr(const std::map<std::string, std::string, std::less<>>& a, std::string_view key,
                      std::string_view path) {
    auto it = a.find(key);
    if (it == a.end()) damaged(path, "the descriptor has no " + std::string(key));
    return it->second;
}

Bytes bytes_attr(const std::map<std::string, std::string, std::less<>>& a, std::string_view key,
                 std::string_view path) {
    Bytes out;
    if (!base64_decode(text_attr(a, key, path), out)) damaged(path, std::string(key) + " is not base64");
    return out;
}

// A cipher description of the descriptor, checked against what this
// module can run: AES-CBC with 16-byte blocks and salts and a known hash.
OfficeEncryptionInfo::Cipher read_cipher(const std::map<std::string, std::string, std::less<>>& a,
                                         std::string_view path) {
    OfficeEncryptionInfo::Cipher c;
    c.salt = bytes_attr(a, "saltValue", path);
    c.block_size = number_attr(a, "blockSize", path);
    c.key_bits = number_attr(a, "keyBits", path);
    c.hash_size = number_attr(a, "hashSize", path);
    c.cipher = text_attr(a, "cipherAlgorithm", path);
    c.chaining = text_attr(a, "cipherChaining", path);
    c.hash = text_attr(a, "hashAlgorithm", path);
    if (c.cipher != "AES") unsupported(path, "cipher " + c.cipher);
    if (c.chaining != "ChainingModeCBC") unsupported(path, "chaining " + c.chaining);
    const EVP_MD* md = digest_named(c.hash);
    if (!md) unsupported(path, "hash " + c.hash);
    if (c.hash_size != static_cast<std::uint32_t>(EVP_MD_get_size(md))) {
        damaged(path, "the hash size does not match the hash");
    }
    if (c.block_size != 16) damaged(path, "the block size is not AES's");
    if (c.key_bits != 128 && c.key_bits != 192 && c.key_bits != 256) damaged(path, "the key size is not AES's");
    if (c.salt.size() != 16) damaged(path, "the salt is not 16 bytes");
    return c;
}

void parse_agile(std::span<const std::uint8_t> rec, std::string_view path, OfficeEncryptionInfo& info) {
    if (rec.size() < 8) damaged(path, "the agile record is too short");
    if (rd32(rec, 4) != 0x40) damaged(path, "unexpected reserved value in the agile record");
    const std::string_view xml(reinterpret_cast<const char*>(rec.data() + 8), rec.size() - 8);
    std::map<std::string, std::string, std::less<>> attrs;
    if (!element_attributes(xml, "keyData", "saltValue", attrs)) damaged(path, "the descriptor has no key data");
    info.key_data = read_cipher(attrs, path);
    // The password's key encryptor (one with a spin count; a certificate's has none).
    if (!element_attributes(xml, "encryptedKey", "spinCount", attrs)) {
        unsupported(path, "no password key encryptor");
    }
    info.password_key = read_cipher(attrs, path);
    info.spin_count = number_attr(attrs, "spinCount", path);
    if (info.spin_count > kMaxSpinCount) damaged(path, "the spin count is out of range");
    info.encrypted_verifier_input = bytes_attr(attrs, "encryptedVerifierHashInput", path);
    info.encrypted_verifier_value = bytes_attr(attrs, "encryptedVerifierHashValue", path);
    info.encrypted_key_value = bytes_attr(attrs, "encryptedKeyValue", path);
    for (const Bytes* b : {&info.encrypted_verifier_input, &info.encrypted_verifier_value,
                           &info.encrypted_key_value}) {
        if (b->empty() || b->size() % 16 != 0 || b->size() > 1024) {
            damaged(path, "an encrypted value is not a whole number of blocks");
        }
    }
    if (info.encrypted_key_value.size() * 8 < info.key_data.key_bits) {
        damaged(path, "the encrypted key is shorter than the key");
    }
}

void parse_standard(std::span<const std::uint8_t> rec, std::string_view path, OfficeEncryptionInfo& info) {
    if (rec.size() < 12) damaged(path, "the record is too short");
    info.flags = rd32(rec, 4);
    if (!(info.flags & kFlagCryptoApi) || (info.flags & kFlagExternal)) {
        unsupported(path, "an encryption that is not CryptoAPI's");
    }
    const std::uint32_t header_size = rd32(rec, 8);
    // The header: flags, size extra, algorithm, hash algorithm, key size,
    // provider type, two reserved words, then the provider name.
    if (header_size < 32 || header_size > rec.size() - 12) damaged(path, "the header size is out of range");
    const auto header = rec.subspan(12, header_size);
    info.alg_id = rd32(header, 8);
    info.alg_id_hash = rd32(header, 12);
    info.key_size_bits = rd32(header, 16);
    if (info.alg_id_hash != kAlgSha1 && info.alg_id_hash != 0) unsupported(path, "a hash other than SHA-1");
    const bool aes_id = info.alg_id == kAlgAes128 || info.alg_id == kAlgAes192 || info.alg_id == kAlgAes256;
    if (info.flags & kFlagAes) {
        if (!aes_id && info.alg_id != 0) unsupported(path, "a cipher other than AES with the AES flag");
        info.kind = OfficeCryptKind::StandardAes;
        info.standard_spin_count = kStandardSpinCount;
        if (info.alg_id == 0) info.alg_id = kAlgAes128;
    } else if (aes_id) {
        // Flagged RC4 CryptoAPI but naming AES: written by some tools with
        // no spins in the key derivation.
        info.kind = OfficeCryptKind::StandardAes;
        info.standard_spin_count = 0;
    } else if (info.alg_id == kAlgRc4 || info.alg_id == 0) {
        info.kind = OfficeCryptKind::Rc4CryptoApi;
    } else {
        unsupported(path, "a cipher other than RC4 or AES");
    }
    if (info.kind == OfficeCryptKind::StandardAes) {
        const std::uint32_t bits = info.alg_id == kAlgAes128 ? 128 : info.alg_id == kAlgAes192 ? 192 : 256;
        if (info.key_size_bits == 0) info.key_size_bits = bits;
        if (info.key_size_bits != bits) damaged(path, "the key size does not match the AES cipher");
    } else {
        if (info.key_size_bits == 0) {
            // Left to the provider: 40 bits for the base provider (its name
            // says " Base "), 128 for the others.
            std::string name;
            for (std::size_t i = 32; i + 1 < header.size(); i += 2) {
                const std::uint16_t u = rd16(header, i);
                if (u == 0) break;
                name += static_cast<char>(u < 0x80 ? u : '?');
            }
            info.key_size_bits = name.find(" Base ") != std::string::npos || name.empty() ? 40 : 128;
        }
        if (info.key_size_bits < 40 || info.key_size_bits > 128 || info.key_size_bits % 8 != 0) {
            damaged(path, "the RC4 key size is out of range");
        }
    }
    // The verifier: salt size, salt, encrypted verifier, hash size, the
    // encrypted hash (SHA-1's 20 bytes; two AES blocks under AES).
    const std::size_t hash_bytes = info.kind == OfficeCryptKind::StandardAes ? 32 : 20;
    const std::size_t v = 12 + header_size;
    if (rec.size() < v + 4 + 16 + 16 + 4 + hash_bytes) damaged(path, "the verifier is cut short");
    if (rd32(rec, v) != 16) damaged(path, "the salt is not 16 bytes");
    auto at = [&](std::size_t o) { return rec.begin() + static_cast<std::ptrdiff_t>(o); };
    info.salt.assign(at(v + 4), at(v + 20));
    info.encrypted_verifier.assign(at(v + 20), at(v + 36));
    info.verifier_hash_size = rd32(rec, v + 36);
    if (info.verifier_hash_size != 20) damaged(path, "the verifier hash is not SHA-1's");
    info.encrypted_verifier_hash.assign(at(v + 40), at(v + 40 + hash_bytes));
}

bool is_ace_header(std::span<const std::uint8_t> header) {
    return header.size() >= kRecordEnd && header[kHeaderVersionOffset] >= 2 &&
           std::memcmp(header.data() + 4, kAceEngineName, sizeof kAceEngineName - 1) == 0;
}

// The per-page input of both kinds: the encoding key XOR the page number.
std::array<std::uint8_t, 4> page_block(const std::uint8_t key[4], std::uint32_t page) {
    std::array<std::uint8_t, 4> b{};
    for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(key[i] ^ (page >> (8 * i)));
    return b;
}

// H(salt + password), then spin_count rounds of H(i + H): the part of the
// agile key derivation the three block keys share (and, with SHA-1, the
// first part of standard encryption's).
Bytes spun_hash(const EVP_MD* md, std::span<const std::uint8_t> salt, std::span<const std::uint8_t> password,
                      std::uint32_t spin_count) {
    Bytes h = hash_of(md, {salt, password});
    MdCtx ctx;
    unsigned int n = 0;
    for (std::uint32_t i = 0; i < spin_count; ++i) {
        const std::uint8_t counter[4] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8),
                                         static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 24)};
        if (EVP_DigestInit_ex(ctx.p, md, nullptr) != 1 || EVP_DigestUpdate(ctx.p, counter, 4) != 1 ||
            EVP_DigestUpdate(ctx.p, h.data(), h.size()) != 1 || EVP_DigestFinal_ex(ctx.p, h.data(), &n) != 1) {
            crypto_failed("digest");
        }
    }
    return h;
}

// The key that wraps one of the three values: H(spun + block key), cut or
// padded (with 0x36) to the key size.
Bytes agile_block_key(const EVP_MD* md, std::span<const std::uint8_t> spun, std::span<const std::uint8_t> block,
                      std::uint32_t key_bits) {
    return fixed_length(hash_of(md, {spun, block}), key_bits / 8, 0x36);
}

}  // namespace

// ---- the record ------------------------------------------------------------

bool has_office_encryption(std::span<const std::uint8_t> header) {
    if (!is_ace_header(header)) return false;
    if (rd32(header, kEncodingKeyOffset) == 0) return false;
    return rd16(header, kOfficeCryptRecordOffset) != 0;
}

OfficeEncryptionInfo parse_office_encryption(std::span<const std::uint8_t> header, std::string_view path) {
    if (!is_ace_header(header)) damaged(path, "not an ACE header page");
    OfficeEncryptionInfo info;
    std::memcpy(info.encoding_key, header.data() + kEncodingKeyOffset, 4);
    const std::size_t length = rd16(header, kOfficeCryptRecordOffset);
    const std::size_t start = kOfficeCryptRecordOffset + 2;
    if (length < 4 || start + length > header.size()) damaged(path, "the record length is out of range");
    const auto rec = header.subspan(start, length);
    info.version_major = rd16(rec, 0);
    info.version_minor = rd16(rec, 2);
    const std::string version = std::to_string(info.version_major) + "." + std::to_string(info.version_minor);
    if (info.version_major == 4 && info.version_minor == 4) {
        info.kind = OfficeCryptKind::Agile;
        parse_agile(rec, path, info);
    } else if ((info.version_major >= 2 && info.version_major <= 4) && info.version_minor == 2) {
        parse_standard(rec, path, info);
    } else if ((info.version_major == 3 || info.version_major == 4) && info.version_minor == 3) {
        unsupported(path, "extensible encryption (version " + version + ")");
    } else if (info.version_major == 1 && info.version_minor == 1) {
        unsupported(path, "RC4 encryption of version 1.1");
    } else {
        damaged(path, "unknown encryption version " + version);
    }
    return info;
}

// ---- the unlocked cipher ---------------------------------------------------

struct OfficeCrypt::State {
    OfficeCryptKind kind = OfficeCryptKind::Agile;
    std::uint8_t encoding_key[4] = {};
    // Agile: the data key, the key data's salt and hash (for the page IVs).
    Bytes key;
    Bytes iv_salt;
    const EVP_MD* iv_md = nullptr;
    // RC4 CryptoAPI: H(salt + password) and the key size in bytes.
    // Standard AES: the spun hash, and the key size.
    Bytes base_hash;
    std::size_t rc4_key_bytes = 16;
    std::size_t aes_key_bytes = 16;

    // Standard AES's key for a block: H(spun + block), widened by the
    // derivation of CryptoAPI's CryptDeriveKey (two hashes of it XOR 0x36
    // and XOR 0x5C over 64 bytes), cut to the key size.
    Bytes aes_key(std::span<const std::uint8_t> block) const {
        const Bytes h = hash_of(EVP_sha1(), {base_hash, block});
        std::uint8_t x1[64], x2[64];
        std::memset(x1, 0x36, sizeof x1);
        std::memset(x2, 0x5C, sizeof x2);
        for (std::size_t i = 0; i < h.size(); ++i) {
            x1[i] ^= h[i];
            x2[i] ^= h[i];
        }
        Bytes k = hash_of(EVP_sha1(), {x1});
        const Bytes k2 = hash_of(EVP_sha1(), {x2});
        k.insert(k.end(), k2.begin(), k2.end());
        k.resize(aes_key_bytes);
        return k;
    }

    Bytes rc4_key(std::span<const std::uint8_t> block) const {
        Bytes k = fixed_length(hash_of(EVP_sha1(), {base_hash, block}), rc4_key_bytes, 0);
        // A 40-bit key is used as a 128-bit one with zeros after it.
        if (rc4_key_bytes == 5) k.resize(16, 0);
        return k;
    }
    Bytes page_iv(std::uint32_t page) const {
        const auto block = page_block(encoding_key, page);
        return fixed_length(hash_of(iv_md, {iv_salt, block}), 16, 0x36);
    }
};

OfficeCrypt::OfficeCrypt() : state_(std::make_unique<State>()) {}
OfficeCrypt::~OfficeCrypt() = default;

OfficeCryptKind OfficeCrypt::kind() const { return state_->kind; }

std::unique_ptr<OfficeCrypt> OfficeCrypt::unlock(const OfficeEncryptionInfo& info, std::string_view password,
                                                 std::string_view path) {
    std::unique_ptr<OfficeCrypt> c(new OfficeCrypt());
    State& s = *c->state_;
    s.kind = info.kind;
    std::memcpy(s.encoding_key, info.encoding_key, 4);
    const Bytes pw = password_bytes(password);
    if (info.kind == OfficeCryptKind::Agile) {
        const auto& pk = info.password_key;
        const EVP_MD* md = digest_named(pk.hash);
        s.iv_md = digest_named(info.key_data.hash);
        if (!md || !s.iv_md) unsupported(path, "an unknown hash");
        const Bytes spun = spun_hash(md, pk.salt, pw, info.spin_count);
        auto unwrap = [&](const std::uint8_t (&block)[8], const Bytes& value) {
            Bytes out = value;
            aes_apply(AesMode::kCbc, false, agile_block_key(md, spun, block, pk.key_bits), pk.salt, out);
            return out;
        };
        const Bytes verifier = unwrap(kVerifierInputBlock, info.encrypted_verifier_input);
        const Bytes verifier_hash = unwrap(kVerifierValueBlock, info.encrypted_verifier_value);
        Bytes expected = hash_of(md, {std::span<const std::uint8_t>(verifier).first(
                                          std::min<std::size_t>(verifier.size(), pk.salt.size()))});
        expected.resize((expected.size() + 15) / 16 * 16, 0);
        if (verifier_hash.size() < expected.size() ||
            !std::equal(expected.begin(), expected.end(), verifier_hash.begin())) {
            throw Error(std::string(kBadPasswordMessage));
        }
        s.key = unwrap(kKeyValueBlock, info.encrypted_key_value);
        s.key.resize(info.key_data.key_bits / 8);
        s.iv_salt = info.key_data.salt;
    } else if (info.kind == OfficeCryptKind::StandardAes) {
        s.base_hash = spun_hash(EVP_sha1(), info.salt, pw, info.standard_spin_count);
        s.aes_key_bytes = info.key_size_bits / 8;
        const std::uint8_t zero[4] = {};
        Bytes stream = info.encrypted_verifier;
        stream.insert(stream.end(), info.encrypted_verifier_hash.begin(), info.encrypted_verifier_hash.end());
        aes_apply(AesMode::kEcb, false, s.aes_key(zero), {}, stream);
        const Bytes expected = hash_of(EVP_sha1(), {std::span<const std::uint8_t>(stream.data(), 16)});
        if (!std::equal(expected.begin(), expected.end(), stream.begin() + 16)) {
            throw Error(std::string(kBadPasswordMessage));
        }
    } else {
        s.base_hash = hash_of(EVP_sha1(), {info.salt, pw});
        s.rc4_key_bytes = info.key_size_bits / 8;
        // The verifier and its hash are one RC4 stream under the key of block 0.
        const std::uint8_t zero[4] = {};
        Bytes stream = info.encrypted_verifier;
        stream.insert(stream.end(), info.encrypted_verifier_hash.begin(), info.encrypted_verifier_hash.end());
        rc4_apply_key(s.rc4_key(zero), stream);
        const std::span<const std::uint8_t> verifier(stream.data(), 16);
        const Bytes expected = hash_of(EVP_sha1(), {verifier});
        if (!std::equal(expected.begin(), expected.end(), stream.begin() + 16)) {
            throw Error(std::string(kBadPasswordMessage));
        }
    }
    return c;
}

// One page through the file's cipher with the page's own key (the header
// page stays clear); RC4 is its own inverse.
void OfficeCrypt::apply_page(bool encrypt, std::uint32_t number, std::span<std::uint8_t> page) const {
    if (number == 0) return;
    const State& s = *state_;
    if (s.kind == OfficeCryptKind::Agile) {
        aes_apply(AesMode::kCbc, encrypt, s.key, s.page_iv(number), page);
    } else if (s.kind == OfficeCryptKind::StandardAes) {
        aes_apply(AesMode::kEcb, encrypt, s.aes_key(page_block(s.encoding_key, number)), {}, page);
    } else {
        rc4_apply_key(s.rc4_key(page_block(s.encoding_key, number)), page);
    }
}

void OfficeCrypt::decrypt_page(std::uint32_t number, std::span<std::uint8_t> page) const {
    apply_page(false, number, page);
}

void OfficeCrypt::encrypt_page(std::uint32_t number, std::span<std::uint8_t> page) const {
    apply_page(true, number, page);
}

// ---- a new agile provider --------------------------------------------------

NewOfficeEncryption make_agile_encryption(std::string_view password, std::uint32_t spin_count) {
    auto random = [](std::size_t n) {
        Bytes b(n);
        if (RAND_bytes(b.data(), static_cast<int>(n)) != 1) crypto_failed("no random bytes");
        return b;
    };
    const EVP_MD* md = EVP_sha512();
    const Bytes key_salt = random(16), password_salt = random(16), key = random(32), verifier = random(16);
    const Bytes pw = password_bytes(password);
    const Bytes spun = spun_hash(md, password_salt, pw, spin_count);
    auto wrap = [&](const std::uint8_t (&block)[8], Bytes value) {
        aes_apply(AesMode::kCbc, true, agile_block_key(md, spun, block, 256), password_salt, value);
        return value;
    };
    const Bytes enc_input = wrap(kVerifierInputBlock, verifier);
    const Bytes enc_value = wrap(kVerifierValueBlock, hash_of(md, {verifier}));  // 64 bytes: 4 blocks
    const Bytes enc_key = wrap(kKeyValueBlock, key);

    const std::string cipher_attrs =
        "blockSize=\"16\" keyBits=\"256\" hashSize=\"64\" cipherAlgorithm=\"AES\" "
        "cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\" ";
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        "<encryption xmlns=\"http://schemas.microsoft.com/office/2006/encryption\" "
        "xmlns:p=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\" "
        "xmlns:c=\"http://schemas.microsoft.com/office/2006/keyEncryptor/certificate\">"
        "<keyData saltSize=\"16\" " + cipher_attrs + "saltValue=\"" + base64_encode(key_salt) + "\"/>"
        "<keyEncryptors><keyEncryptor uri=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\">"
        "<p:encryptedKey spinCount=\"" + std::to_string(spin_count) + "\" saltSize=\"16\" " + cipher_attrs +
        "saltValue=\"" + base64_encode(password_salt) + "\" encryptedVerifierHashInput=\"" +
        base64_encode(enc_input) + "\" encryptedVerifierHashValue=\"" + base64_encode(enc_value) +
        "\" encryptedKeyValue=\"" + base64_encode(enc_key) +
        "\"/></keyEncryptor></keyEncryptors></encryption>";

    NewOfficeEncryption out;
    put16(out.record, 4);
    put16(out.record, 4);
    put32(out.record, 0x40);
    out.record.insert(out.record.end(), xml.begin(), xml.end());
    do {
        const Bytes k = random(4);
        std::memcpy(out.encoding_key, k.data(), 4);
    } while (rd32(std::span<const std::uint8_t>(out.encoding_key, 4), 0) == 0);
    return out;
}

namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

void read_exact(int fd, std::uint8_t* p, std::size_t n, off_t at, const std::string& path) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, p + done, n - done, at + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            throw Error("Could not read file '" + path + "'" + (got < 0 ? std::string(": ") + std::strerror(errno) : "") + ".");
        }
        done += static_cast<std::size_t>(got);
    }
}

void write_exact(int fd, const std::uint8_t* p, std::size_t n, off_t at, const std::string& path) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t put = ::pwrite(fd, p + done, n - done, at + static_cast<off_t>(done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) throw Error("Could not write file '" + path + "': " + std::strerror(errno) + ".");
        done += static_cast<std::size_t>(put);
    }
}

}  // namespace

void encrypt_ace_file(const std::string& path, std::string_view password) {
    Fd f;
    f.fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (f.fd < 0) throw Error("Could not open file '" + path + "': " + std::strerror(errno) + ".");
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        throw Error("Could not open file '" + path + "': not a regular file.");
    }
    const std::size_t page_size = kJet4PageSize;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < page_size || size % page_size != 0 || size / page_size > 0xFFFFFFull) {
        throw Error("Cannot encrypt '" + path + "': it is not a whole number of pages.");
    }
    Bytes header(page_size);
    read_exact(f.fd, header.data(), page_size, 0, path);
    const std::size_t masked_length = format_info(Format::Jet4).header_masked_length;
    std::span<std::uint8_t> masked(header.data() + kHeaderMaskedOffset, masked_length);
    rc4_apply(kHeaderRc4Key, masked);
    if (!is_ace_header(header)) throw Error("Cannot encrypt '" + path + "': it is not an ACE database.");
    if (rd32(header, kEncodingKeyOffset) != 0) {
        throw Error("Cannot encrypt '" + path + "': it is encrypted already.");
    }
    for (std::size_t i = kOfficeCryptRecordOffset; i < kRecordEnd; ++i) {
        if (header[i] != 0) throw Error("Cannot encrypt '" + path + "': its header holds data where the encryption record goes.");
    }
    const NewOfficeEncryption enc = make_agile_encryption(password);
    if (kOfficeCryptRecordOffset + 2 + enc.record.size() > kRecordEnd) {
        throw Error("Cannot encrypt '" + path + "': the encryption record does not fit its header.");
    }
    std::memcpy(header.data() + kEncodingKeyOffset, enc.encoding_key, 4);
    header[kOfficeCryptRecordOffset] = static_cast<std::uint8_t>(enc.record.size());
    header[kOfficeCryptRecordOffset + 1] = static_cast<std::uint8_t>(enc.record.size() >> 8);
    std::copy(enc.record.begin(), enc.record.end(), header.begin() + kOfficeCryptRecordOffset + 2);

    const OfficeEncryptionInfo info = parse_office_encryption(header, path);
    const auto crypt = OfficeCrypt::unlock(info, password, path);

    // Pages in runs, so a large target costs a sequential read and write.
    constexpr std::size_t kRun = 64;
    const std::uint64_t pages = size / page_size;
    Bytes buf(kRun * page_size);
    for (std::uint64_t first = 1; first < pages; first += kRun) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kRun, pages - first));
        const off_t at = static_cast<off_t>(first * page_size);
        read_exact(f.fd, buf.data(), n * page_size, at, path);
        for (std::size_t i = 0; i < n; ++i) {
            crypt->encrypt_page(static_cast<std::uint32_t>(first + i),
                                std::span<std::uint8_t>(buf.data() + i * page_size, page_size));
        }
        write_exact(f.fd, buf.data(), n * page_size, at, path);
    }
    // The header last, under its mask again.
    rc4_apply(kHeaderRc4Key, masked);
    write_exact(f.fd, header.data(), page_size, 0, path);
    if (::fsync(f.fd) != 0) throw Error("Could not write file '" + path + "': " + std::strerror(errno) + ".");
}

std::unique_ptr<OfficeCrypt> open_office_encryption(std::span<const std::uint8_t> raw_header,
                                                    std::string_view password, std::string_view path) {
    if (raw_header.size() < kRecordEnd) return nullptr;
    Bytes header(raw_header.begin(), raw_header.end());
    const std::size_t masked_length = format_info(Format::Jet4).header_masked_length;
    rc4_apply(kHeaderRc4Key, std::span<std::uint8_t>(header.data() + kHeaderMaskedOffset, masked_length));
    if (!has_office_encryption(header)) return nullptr;
    return OfficeCrypt::unlock(parse_office_encryption(header, path), password, path);
}

}  // namespace jet
