// Address discovery and web page generation.
#include "app/Unit1.h"

#include <cstdlib>

std::string TForm1::EchoUrl() const
{
    if (!Options.EchoUrl.empty())
        return Options.EchoUrl;
    if (const char* env = std::getenv("LUMORA_ECHO_URL"); env && *env)
        return env;
    return "http://checkip.dyndns.org/";
}

void TForm1::GetOutsideIP() {}
void TForm1::MakeLocalFile() {}
void TForm1::MakeWANFile() {}
