#include "base/md5.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

std::string digestOf(const std::string& message, std::size_t piece = 0) {
    MD5 md5;
    auto bytes = reinterpret_cast<const unsigned char*>(message.data());
    if (piece == 0) {
        md5.update(bytes, static_cast<std::uint32_t>(message.size()));
    } else {
        for (std::size_t at = 0; at < message.size(); at += piece)
            md5.update(bytes + at,
                       static_cast<std::uint32_t>(std::min(piece, message.size() - at)));
    }
    md5.finalize();
    return md5.hex_digest();
}

std::string pattern(std::size_t length) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>((i * 131 + 7) % 251);
    return text;
}

} // namespace

TEST(MD5, TestSuiteOfRfc1321) {
    EXPECT_EQ(digestOf(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digestOf("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(digestOf("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(digestOf("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(digestOf("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(digestOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(digestOf("1234567890123456789012345678901234567890123456789012345678901234567890"
                       "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(MD5, PaddingEdges) {
    // Lengths around the 56-byte boundary take both padding lengths (known values from md5sum).
    EXPECT_EQ(digestOf(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(digestOf(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(digestOf(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
    EXPECT_EQ(digestOf(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(MD5, SplitOfUpdatesDoesNotMatter) {
    std::string message = pattern(5000);
    std::string whole = digestOf(message);
    for (std::size_t piece : {1, 63, 64, 65, 1024})
        EXPECT_EQ(digestOf(message, piece), whole) << piece;
}

TEST(MD5, FileConstructorDigestsTheWholeFile) {
    TempDir dir;
    writeFile(dir / "empty", "");
    EXPECT_EQ(MD5(std::fopen((dir / "empty").c_str(), "rb")).hex_digest(),
              "d41d8cd98f00b204e9800998ecf8427e");
    std::string content = pattern(3 * 1024 * 1024 + 17);
    writeFile(dir / "big", content);
    EXPECT_EQ(MD5(std::fopen((dir / "big").c_str(), "rb")).hex_digest(), digestOf(content));
}

TEST(MD5, MisuseIsReportedAndChangesNothing) {
    MD5 md5;
    testing::internal::CaptureStderr();
    EXPECT_EQ(md5.hex_digest(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MD5::hex_digest:  Can't get digest if you haven't finalized the digest!\n");

    md5.update(reinterpret_cast<const unsigned char*>("abc"), 3);
    md5.finalize();
    testing::internal::CaptureStderr();
    md5.finalize();
    md5.update(reinterpret_cast<const unsigned char*>("more"), 4);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MD5::finalize:  Already finalized this digest!\n"
              "MD5::update:  Can't update a finalized digest!\n");
    EXPECT_EQ(md5.hex_digest(), "900150983cd24fb0d6963f7d28e17f72");
}
