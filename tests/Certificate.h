// A self-signed certificate for 127.0.0.1 and its key, made by openssl for a test's TLS peer.
#pragma once

#include <cstdlib>
#include <string>

inline bool MakeCertificate(const std::string& cert, const std::string& key)
{
    return std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                        "-addext subjectAltName=IP:127.0.0.1 -keyout '" + key + "' -out '" + cert + "' >/dev/null 2>&1")
                           .c_str()) == 0;
}
