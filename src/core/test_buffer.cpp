#include "core/test_buffer.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

void fill_test_buffer(unsigned char* buffer, int length) {
    buffer[0] = 0;
    srand(static_cast<unsigned>(time(nullptr)));
    for (int i = 1; i < length; ++i) {
        buffer[i] = static_cast<unsigned char>(rand() & 0xff);
    }
}

TestBuffer::TestBuffer() : bytes_(static_cast<unsigned char*>(malloc(TEST_BUFFER_SIZE))) {
    if (bytes_ == nullptr) {
        perror("malloc()");
        return;
    }
    fill_test_buffer(bytes_, TEST_BUFFER_SIZE);
}

TestBuffer::~TestBuffer() {
    free(bytes_);
}
