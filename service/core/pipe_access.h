// Who may do what with the service's pipe. The service runs with system
// rights and the pipe is its only door, so the list is explicit.
#pragma once

#include <array>
#include <cstdint>

namespace qn38::service {

// Access rights of a pipe (file object).
inline constexpr std::uint32_t PIPE_READ_DATA = 0x0001;
inline constexpr std::uint32_t PIPE_WRITE_DATA = 0x0002;
// The same bit as FILE_APPEND_DATA: whoever holds it may create a server
// instance of the pipe's name and answer the tool in the service's place.
inline constexpr std::uint32_t PIPE_CREATE_INSTANCE = 0x0004;
inline constexpr std::uint32_t PIPE_READ_EA = 0x0008;
inline constexpr std::uint32_t PIPE_WRITE_EA = 0x0010;
inline constexpr std::uint32_t PIPE_READ_ATTRIBUTES = 0x0080;
inline constexpr std::uint32_t PIPE_WRITE_ATTRIBUTES = 0x0100;
inline constexpr std::uint32_t RIGHT_DELETE = 0x00010000;
inline constexpr std::uint32_t RIGHT_READ_CONTROL = 0x00020000;
inline constexpr std::uint32_t RIGHT_WRITE_DAC = 0x00040000;
inline constexpr std::uint32_t RIGHT_WRITE_OWNER = 0x00080000;
inline constexpr std::uint32_t RIGHT_SYNCHRONIZE = 0x00100000;

// Every file and pipe right (FILE_ALL_ACCESS).
inline constexpr std::uint32_t PIPE_FULL_ACCESS = 0x001F01FF;

// What a client opening with GENERIC_READ | GENERIC_WRITE needs: the generic
// file read and write rights less FILE_APPEND_DATA, which the pipe file system
// does not ask of a client. Nothing that changes the pipe's security or makes
// a server instance.
inline constexpr std::uint32_t PIPE_CLIENT_READ_WRITE = PIPE_READ_DATA | PIPE_WRITE_DATA | PIPE_READ_EA |
                                                        PIPE_WRITE_EA | PIPE_READ_ATTRIBUTES | PIPE_WRITE_ATTRIBUTES |
                                                        RIGHT_READ_CONTROL | RIGHT_SYNCHRONIZE;

enum class PipeAccount { LocalSystem, Administrators, Users };

struct PipeAccessEntry {
    PipeAccount account;
    std::uint32_t mask;
};

// Granted, not inherited, in this order.
inline constexpr std::array<PipeAccessEntry, 3> PIPE_ACCESS_LIST = {{
    {PipeAccount::LocalSystem, PIPE_FULL_ACCESS},
    {PipeAccount::Administrators, PIPE_FULL_ACCESS},
    {PipeAccount::Users, PIPE_CLIENT_READ_WRITE},
}};

}  // namespace qn38::service
