// A journal socket of the test's own: bound in a folder, it receives entries in the journal's native
// protocol (a datagram of fields, or an empty datagram carrying a sealed memory file) and parses them.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class JournalSocket
{
public:
    using Fields = std::multimap<std::string, std::string>;

    explicit JournalSocket(const std::string& path) : mPath(path)
    {
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        mBound = bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        timeval wait{5, 0};
        setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~JournalSocket()
    {
        close(mFd);
        unlink(mPath.c_str());
    }
    JournalSocket(const JournalSocket&) = delete;
    JournalSocket& operator=(const JournalSocket&) = delete;

    bool Bound() const { return mBound; }
    const std::string& Path() const { return mPath; }

    // The raw bytes of the next entry (read from the memory file when one came), "" when none came
    // within 5 s; memoryFile tells which way it came.
    std::string ReceiveRaw(bool* memoryFile = nullptr)
    {
        std::string buffer(1 << 20, '\0');
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        iovec io{&buffer[0], buffer.size()};
        msghdr m{};
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(mFd, &m, MSG_CMSG_CLOEXEC);
        if (n < 0)
            return "";
        if (memoryFile)
            *memoryFile = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
            {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
                struct stat st;
                std::string bytes;
                if (fstat(fd, &st) == 0)
                {
                    bytes.resize(static_cast<size_t>(st.st_size));
                    if (pread(fd, &bytes[0], bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
                        bytes = "(unreadable memory file)";
                }
                close(fd);
                if (memoryFile)
                    *memoryFile = true;
                return bytes;
            }
        return buffer.substr(0, static_cast<size_t>(n));
    }

    // The next entry's fields; a field named "(malformed)" when the bytes break the protocol.
    Fields Receive(bool* memoryFile = nullptr) { return Parse(ReceiveRaw(memoryFile)); }

    // NAME=VALUE\n, or NAME\n, a little-endian 64-bit length, VALUE and \n.
    static Fields Parse(const std::string& bytes)
    {
        Fields fields;
        size_t i = 0;
        while (i < bytes.size())
        {
            const size_t end = bytes.find_first_of("=\n", i);
            if (end == std::string::npos)
                return fields.emplace("(malformed)", bytes.substr(i)), fields;
            const std::string name = bytes.substr(i, end - i);
            if (bytes[end] == '=')
            {
                const size_t line = bytes.find('\n', end);
                if (line == std::string::npos)
                    return fields.emplace("(malformed)", name), fields;
                fields.emplace(name, bytes.substr(end + 1, line - end - 1));
                i = line + 1;
                continue;
            }
            if (end + 9 > bytes.size())
                return fields.emplace("(malformed)", name), fields;
            uint64_t size = 0;
            for (int b = 7; b >= 0; --b)
                size = size << 8 | static_cast<unsigned char>(bytes[end + 1 + b]);
            const size_t value = end + 9;
            if (size > bytes.size() - value || value + size >= bytes.size() || bytes[value + size] != '\n')
                return fields.emplace("(malformed)", name), fields;
            fields.emplace(name, bytes.substr(value, size));
            i = value + size + 1;
        }
        return fields;
    }

    // The one value of name, "(none)" or "(several)".
    static std::string One(const Fields& fields, const std::string& name)
    {
        const size_t count = fields.count(name);
        return count == 0 ? "(none)" : count > 1 ? "(several)" : fields.find(name)->second;
    }

private:
    std::string mPath;
    int mFd = -1;
    bool mBound = false;
};
