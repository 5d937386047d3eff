// Standard output for the companions: the console itself, or UTF-8 to a file or pipe.
#include "companions.h"

#include <cstdlib>

StandardOutput::StandardOutput() : handle_(GetStdHandle(STD_OUTPUT_HANDLE)), console_(false)
{
    DWORD mode = 0;
    console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode) != 0;
}

bool StandardOutput::Write(const WCHAR* text, std::size_t length)
{
    // Started with no standard output at all (detached, as some deployment tools start programs),
    // nobody asked for the listing, so none is lost.
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE || length == 0) {
        return true;
    }
    if (console_) {
        // A console may take fewer characters than given.
        while (length > 0) {
            DWORD written = 0;
            if (WriteConsoleW(handle_, text, static_cast<DWORD>(length), &written, nullptr) == 0 || written == 0) {
                return false;
            }
            text += written;
            length -= written;
        }
        return true;
    }
    char* bytes = static_cast<char*>(std::malloc(length * 3));
    if (bytes == nullptr) {
        std::abort();
    }
    const std::size_t size = EncodeUtf8(text, length, bytes);
    std::size_t done = 0;
    while (done < size) {
        DWORD written = 0;
        if (WriteFile(handle_, bytes + done, static_cast<DWORD>(size - done), &written, nullptr) == 0 || written == 0) {
            break;
        }
        done += written;
    }
    std::free(bytes);
    return done == size;
}
