#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

// The layout of a descriptor message, for the end that sends it and the end that reads it.
namespace elevard::wire::detail {

// One data byte (the kernel passes no control data without one; its value is meaningless) and
// room for one SCM_RIGHTS control message of CMSG_LEN(sizeof(int)) = 20 bytes, carrying one
// descriptor, in a 24-byte buffer; `message` is ready for sendmsg or recvmsg. It points into
// itself, so it is neither copied nor moved.
struct DescriptorMessage {
    DescriptorMessage() {
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    DescriptorMessage(const DescriptorMessage&) = delete;
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;

    char data = 0;
    iovec vector{&data, sizeof data};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
};

}  // namespace elevard::wire::detail
