// Reading the MIDI file through the player's wait.
#include "app/input_file.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include "app/requests.h"

InputFile::InputFile(int fd) : fd_(fd) {
    setg(buffer_, buffer_, buffer_);
}

InputFile::~InputFile() {
    close(fd_);
}

InputFile::int_type InputFile::underflow() {
    while (waitForInput(fd_) == Woken::kDone) {
        const ssize_t count = read(fd_, buffer_, sizeof buffer_);
        if (count > 0) {
            setg(buffer_, buffer_, buffer_ + count);
            return traits_type::to_int_type(buffer_[0]);
        }
        // Interrupted (SIGTTIN, say): the wait honours what was asked, then the read goes on.
        if (count == 0 || (errno != EINTR && errno != EAGAIN))
            break;
    }
    return traits_type::eof();
}

InputFile::pos_type InputFile::seekoff(off_type off, std::ios_base::seekdir dir,
                                       std::ios_base::openmode) {
    // The bytes read ahead into the buffer are not consumed yet.
    if (dir == std::ios_base::cur)
        off -= egptr() - gptr();
    const int whence = dir == std::ios_base::beg   ? SEEK_SET
                       : dir == std::ios_base::cur ? SEEK_CUR
                                                   : SEEK_END;
    // An offset that a 32-bit off_t cannot hold fails, as a seek in a pipe does.
    const off_t offset = static_cast<off_t>(off);
    const off_t at = offset == off ? lseek(fd_, offset, whence) : -1;
    if (at < 0)
        return pos_type(off_type(-1));
    setg(buffer_, buffer_, buffer_);
    return pos_type(at);
}

InputFile::pos_type InputFile::seekpos(pos_type pos, std::ios_base::openmode which) {
    return seekoff(off_type(pos), std::ios_base::beg, which);
}
