#include "last_error.h"

#include <cstddef>
#include <cstring>

namespace led {
namespace {

// Per thread, and plain bytes: a thread-local object with a destructor would have to be destroyed
// when its thread ends, which hangs the host if the library has been unloaded by then.
thread_local char sentence_of_this_thread[1024];

}  // namespace

void set_last_error(const std::string& sentence) {
    std::size_t length = sentence.size();
    if (length >= sizeof sentence_of_this_thread) {
        length = sizeof sentence_of_this_thread - 1;
        // Back up to the first byte of a UTF-8 character, so the text stays valid.
        while (length > 0 && (static_cast<unsigned char>(sentence[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(sentence_of_this_thread, sentence.data(), length);
    sentence_of_this_thread[length] = '\0';
}

const char* last_error() {
    return sentence_of_this_thread;
}

}  // namespace led
