// Text in fixed character buffers: every copy and append stays inside its buffer, always ends
// with a terminator and cuts longer text instead of failing. The device layer and the dialog
// both keep their texts this way.
#pragma once

#include <algorithm>
#include <cstddef>

// Copies at most capacity - 1 characters of source and terminates. A null source copies as
// empty text; a null destination or a capacity of 0 writes nothing.
inline void CopyText(char* destination, std::size_t capacity, const char* source)
{
    if (destination == nullptr || capacity == 0)
        return;
    std::size_t n = 0;
    if (source != nullptr) {
        while (n + 1 < capacity && source[n] != '\0') {
            destination[n] = source[n];
            ++n;
        }
    }
    destination[n] = '\0';
}

// Appends source to the text already in the buffer, bounded the same way. A buffer without a
// terminator is full and stays as it is.
inline void AppendText(char* destination, std::size_t capacity, const char* source)
{
    if (destination == nullptr)
        return;
    const std::size_t used =
        static_cast<std::size_t>(std::find(destination, destination + capacity, '\0') - destination);
    if (used < capacity)
        CopyText(destination + used, capacity - used, source);
}
