// The block each role sends from and receives into.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int TEST_BUFFER_SIZE = 65536;

// Byte 0 is the end marker; the rest is random data.
void fill_test_buffer(unsigned char* buffer, int length);

// Owns one test buffer for the life of a role.
class TestBuffer {
   public:
    // Allocates and fills the buffer; reports "malloc()" when that fails.
    TestBuffer();
    TestBuffer(const TestBuffer&) = delete;
    TestBuffer& operator=(const TestBuffer&) = delete;
    ~TestBuffer();

    bool is_allocated() const { return bytes_ != nullptr; }
    unsigned char* bytes() { return bytes_; }

   private:
    unsigned char* bytes_;
};

// A block size a peer announces must fit the buffer before any transfer uses it.
constexpr bool fits_test_buffer(uint32_t size) {
    return size >= 1 && size <= TEST_BUFFER_SIZE;
}
