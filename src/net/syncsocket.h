// A small blocking client socket over TCP or UDP.
#pragma once

#include "foundation/qdstring.h"

class TSyncSocket {
public:
    enum : int { TCP = 1, UDP = 2 };  // any type other than 1 is a datagram socket

    int Socket = -1;    // the descriptor, -1 when there is none
    int SockType = TCP;
    String LastError;   // the text of the last failure, "" after a success

    explicit TSyncSocket(int type) : SockType(type) {}
    TSyncSocket(const TSyncSocket&) = delete;
    TSyncSocket& operator=(const TSyncSocket&) = delete;
    ~TSyncSocket() { Disconnect(); }

    // TCP: connects with PerformConnect (timeoutMs <= 0: blocking).
    // UDP: a datagram socket whose peer is fixed to host:port.
    // Any previous socket is closed first; on failure no socket is kept.
    // Returns 1, 0 ("Timeout"), -2, -3 or -6.
    int Connect(const char* host, int port, int timeoutMs);
    // One send of up to len bytes: the count sent (maybe fewer than len),
    // 0 when len < 1, or -4. flags is not used.
    int SendBuf(const char* data, int len, int flags);
    int SendString(const String& data, int flags);
    // Waits up to timeoutMs for data and appends one chunk (at most 20480
    // bytes) to out (which is emptied first). Returns the count read (0 when
    // the peer closed), 0 with "Timeout", or -5.
    int ReadString(String& out, int timeoutMs);
    // 1 when there is a socket that can still be waited on, else 0.
    int Connected();
    void Disconnect();
    const String& GetLastError() const { return LastError; }
};
