// The 228-byte record as it crosses the pipe between the 64-bit tool and the
// 32-bit service.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "service/ServiceRequest.h"

namespace {

std::vector<std::uint8_t> Bytes(const ServiceRequest& request, std::size_t from, std::size_t count) {
    const ServiceRequestBytes bytes = EncodeServiceRequest(request);
    return {bytes.begin() + static_cast<std::ptrdiff_t>(from),
            bytes.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

bool ZeroExcept(const ServiceRequestBytes& bytes, std::size_t from, std::size_t count) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if ((i < from || i >= from + count) && bytes[i] != 0) return false;
    }
    return true;
}

TEST(ServiceRequestLayout, SmokeSetStatusCarriesItsFourOptionBytesAt12To15) {
    ServiceRequest request;
    request.command = CMD_SET_STATUS;
    request.bus = 5;
    request.linkEnable = 1;
    EXPECT_EQ(Bytes(request, 0, 4), (std::vector<std::uint8_t>{2, 0, 0, 0}));
    EXPECT_EQ(Bytes(request, 12, 4), (std::vector<std::uint8_t>{0x05, 0x00, 0x01, 0x00}));
    ServiceRequestBytes bytes = EncodeServiceRequest(request);
    bytes[0] = 0;
    EXPECT_TRUE(ZeroExcept(bytes, 12, 4));
}

TEST(ServiceRequestLayout, SetSizeCarriesThreeLittleEndianValuesAt16To27) {
    ServiceRequest request;
    request.command = CMD_SET_SIZE;
    request.defLen = 0x00200000;
    request.startAdrs = 0;
    request.endAdrs = 0xEFFFFFFF;
    EXPECT_EQ(Bytes(request, 16, 12),
              (std::vector<std::uint8_t>{0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xEF}));
    ServiceRequestBytes bytes = EncodeServiceRequest(request);
    bytes[0] = 0;
    EXPECT_TRUE(ZeroExcept(bytes, 16, 12));
}

TEST(ServiceRequestLayout, HeaderFieldsAreLittleEndianWhateverTheHost) {
    ServiceRequest request;
    request.command = 0x04030201;
    request.result = 0x08070605;
    request.lastError = 0x0C0B0A09;
    EXPECT_EQ(Bytes(request, 0, 12), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST(ServiceRequestLayout, TextFillsTheLast200BytesWithNoRoomForATerminator) {
    ServiceRequest request;
    for (std::size_t i = 0; i < SERVICE_TEXT_CAPACITY; ++i) request.text[i] = static_cast<char>('A' + i % 26);
    const ServiceRequestBytes bytes = EncodeServiceRequest(request);
    EXPECT_EQ(bytes[28], 'A');
    EXPECT_EQ(bytes[227], static_cast<std::uint8_t>('A' + 199 % 26));
}

TEST(ServiceRequestCoding, EveryByteSurvivesADecodeAndEncode) {
    // A reply is the service's decoded copy of the request, encoded again:
    // no byte may be lost or moved on the way, whatever it holds.
    std::mt19937 random(38);
    for (int round = 0; round < 50; ++round) {
        ServiceRequestBytes bytes;
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        EXPECT_EQ(EncodeServiceRequest(DecodeServiceRequest(bytes)), bytes);
    }
    ServiceRequestBytes sequence;
    std::iota(sequence.begin(), sequence.end(), std::uint8_t{0});
    const ServiceRequest decoded = DecodeServiceRequest(sequence);
    EXPECT_EQ(decoded.bus, 12);
    EXPECT_EQ(decoded.checkDisks, 15);
    EXPECT_EQ(decoded.defLen, 0x13121110u);
    EXPECT_EQ(decoded.text[0], 28);
}

TEST(ServiceRequestCoding, ResultIsTheExportsSignedValue) {
    ServiceRequest request;
    request.result = 0xFFFFFFFF;
    EXPECT_EQ(ServiceResult(request), -1);
    request.result = static_cast<std::uint32_t>(-3);
    EXPECT_EQ(ServiceResult(request), -3);
    request.result = 2;
    EXPECT_EQ(ServiceResult(request), 2);
}

}  // namespace
