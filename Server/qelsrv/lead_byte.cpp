// The path rules of Protocol/ read names in qelsrv as the clients do: in the
// clients' code page (--codepage).
#include "lead_byte.h"

#include "protocol/Names.h"

#include <client_codepage.h>

#include <atomic>

namespace {

std::atomic<uint32_t> rulesCodePage{qelsrv::kDefaultClientCodePage};

} // namespace

void UseClientCodePageForPathRules(uint32_t codePage)
{
    rulesCodePage = codePage;
}

bool qek::protocol::IsLeadByte(unsigned char byte)
{
    const char pair[] = {static_cast<char>(byte), 'A'}; // any second byte of a double-byte character
    return qelsrv::ClientCharLength(rulesCodePage, std::string_view(pair, sizeof pair), 0) == 2;
}
