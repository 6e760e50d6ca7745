// The record layout, the item rules and the cipher.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rsockmap/record.hpp"
#include "rsockmap/rsockmap.h"

namespace {

std::vector<unsigned char> encipher(const void *rec, int n) {
    std::vector<unsigned char> out(n + NS_SALT_SIZE);
    EXPECT_EQ(NsCrypt(out.data(), rec, n), n + NS_SALT_SIZE);
    return out;
}

TEST(Record, NameOnlyRecordIs23BytesForFiveCharacters) {
    ns::RecordBuilder b(NS_LOOKUP);
    b.name("abcde");
    ASSERT_EQ(b.length(), 23);
    const auto *r = reinterpret_cast<const unsigned char *>(&b.message());
    EXPECT_EQ(r[8], 16);
    EXPECT_EQ(r[9], 0);
    EXPECT_EQ(r[10], 0);
    EXPECT_EQ(r[16], 5);
    EXPECT_EQ(std::memcmp(r + 17, "abcde", 5), 0);
    EXPECT_EQ(r[22], 0);
}

TEST(Record, BuilderRefusesWhatBreaksTheLimits) {
    std::string name127(127, 'n');
    EXPECT_EQ(ns::RecordBuilder(NS_LOOKUP).name(name127.c_str()).length(), 127 + 18);
    std::string name128(128, 'n');
    EXPECT_EQ(ns::RecordBuilder(NS_LOOKUP).name(name128.c_str()).length(), -1);
    NsAddr a{};
    // The address offset n + 18 must stay within 127: n = 109 fits, 110 does not.
    EXPECT_EQ(ns::RecordBuilder(NS_REGISTER).name(std::string(109, 'x').c_str()).address(&a, 16).length(),
              109 + 35);
    EXPECT_EQ(ns::RecordBuilder(NS_REGISTER).name(std::string(110, 'x').c_str()).address(&a, 16).length(),
              -1);
    // The whole record must stay within 231 bytes.
    EXPECT_EQ(ns::RecordBuilder(NS_REGISTER)
                  .name(std::string(100, 'x').c_str())
                  .address(&a, 16)
                  .text(std::string(96, 't').c_str())
                  .length(),
              -1);
}

TEST(Record, ViewRejectsItemsOutsideTheReceivedBytes) {
    unsigned char rec[NS_MSG_SIZE] = {};
    rec[0] = NS_OK;
    rec[8] = 16;
    rec[16] = 5;
    std::memcpy(rec + 17, "hello", 6);
    EXPECT_EQ(ns::RecordView(rec, 23).stringItem(ns::kNameOffset).value(), "hello");
    EXPECT_FALSE(ns::RecordView(rec, 21).stringItem(ns::kNameOffset).has_value());  // cut short
    rec[8] = 200;  // offsets above 127 are never accepted
    EXPECT_FALSE(ns::RecordView(rec, NS_MSG_SIZE).item(ns::kNameOffset).has_value());
    EXPECT_EQ(ns::RecordView(rec, 0).type(), -1);
    EXPECT_FALSE(ns::RecordView(rec, 5).item(ns::kNameOffset).has_value());
}

TEST(Record, AddressItemIsCutToSixteenBytesAndGetsFamilyTwo) {
    unsigned char rec[NS_MSG_SIZE] = {};
    rec[0] = NS_OK;
    rec[9] = 16;
    rec[16] = 20;  // longer than an address
    for (int i = 0; i < 20; ++i) rec[17 + i] = static_cast<unsigned char>(0xA0 + i);
    struct {
        NsAddr addr;
        unsigned char guard[8];
    } out;
    std::memset(&out, 0x55, sizeof out);
    EXPECT_EQ(ns::RecordView(rec, 40).addressItem(&out.addr), 20);
    EXPECT_EQ(out.addr.sin_family, AF_INET);
    EXPECT_EQ(reinterpret_cast<unsigned char *>(&out.addr)[2], 0xA2);
    for (unsigned char g : out.guard) EXPECT_EQ(g, 0x55);
}

TEST(Cipher, SameRecordTwiceGivesTwoCiphertextsThatBothDecipher) {
    ns::RecordBuilder b(NS_LOOKUP);
    b.name("\\\\host\\svc");
    const int n = b.length();
    auto c1 = encipher(&b.message(), n);
    auto c2 = encipher(&b.message(), n);
    EXPECT_NE(c1, c2);
    for (auto *c : {&c1, &c2}) {
        unsigned char plain[NS_MSG_SIZE] = {};
        EXPECT_EQ(NsDecrypt(plain, c->data(), static_cast<int>(c->size())), n);
        EXPECT_EQ(std::memcmp(plain, &b.message(), n), 0);
    }
}

TEST(Cipher, LengthZeroIsTheSaltAlone) {
    unsigned char rec[1] = {0};
    unsigned char out[NS_SALT_SIZE + 8];
    std::memset(out, 0x77, sizeof out);
    EXPECT_EQ(NsCrypt(out, rec, 0), NS_SALT_SIZE);
    EXPECT_EQ(out[NS_SALT_SIZE], 0x77);
    unsigned char plain[4] = {1, 2, 3, 4};
    EXPECT_EQ(NsDecrypt(plain, out, NS_SALT_SIZE), 0);
    EXPECT_EQ(plain[0], 1);  // nothing written
}

TEST(Cipher, KeyRepeatsEvery128Bytes) {
    unsigned char rec[200] = {};  // all zero: the ciphertext is the key itself
    unsigned char out[224];
    NsCrypt(out, rec, 200);
    for (int j = 128; j < 200; ++j) EXPECT_EQ(out[24 + j], out[24 + j - 128]) << j;
}

TEST(Cipher, SecondDecipherOfTheSameBufferDoesNotGiveTheRecord) {
    ns::RecordBuilder b(NS_REGISTER);
    b.name("\\\\a\\b");
    auto c = encipher(&b.message(), b.length());
    unsigned char p1[NS_MSG_SIZE], p2[NS_MSG_SIZE];
    NsDecrypt(p1, c.data(), static_cast<int>(c.size()));
    NsDecrypt(p2, c.data(), static_cast<int>(c.size()));
    EXPECT_EQ(std::memcmp(p1, &b.message(), b.length()), 0);
    EXPECT_NE(std::memcmp(p2, &b.message(), b.length()), 0);
}

TEST(Cipher, LargestTcpRecordGivesFrameLength255) {
    unsigned char rec[NS_MSG_SIZE] = {};
    unsigned char out[NS_MSG_SIZE + NS_SALT_SIZE];
    const int l = NsCrypt(out, rec, NS_MAX_TCP_RECORD);
    EXPECT_EQ(l, 255);
    EXPECT_EQ(static_cast<unsigned char>(l & 0xff), 255);
}

TEST(PrintAddr, FormatsAddressAndPortAndNull) {
    NsAddr a{};
    auto *b = reinterpret_cast<unsigned char *>(&a);
    b[0] = 2;
    b[2] = 0x3E;
    b[3] = 0x98;
    b[4] = 10;
    b[5] = 0;
    b[6] = 0;
    b[7] = 1;
    EXPECT_STREQ(printaddr(&a), "10.0.0.1 (16024)");
    b[4] = b[5] = b[6] = b[7] = 255;
    b[2] = b[3] = 255;
    EXPECT_STREQ(printaddr(&a), "255.255.255.255 (65535)");
    EXPECT_STREQ(printaddr(nullptr), "NULL");
}

}  // namespace
