#include "halvex/authority.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

#include <sys/stat.h>

#include <cstdio>

#include "common/program.h"
#include "common/tls.h"

namespace halvex {

int makeAuthority(const std::string &dir) {
    const QString folder = QFileInfo(QString::fromStdString(dir)).absoluteFilePath();
    const std::string path = folder.toStdString();
    if (!QFileInfo(folder).exists()) {
        if (!QDir().mkpath(folder)) {
            std::fprintf(stderr, "halvex: --make-ca: cannot make the folder %s\n", path.c_str());
            return common::exitFailed;
        }
        ::chmod(path.c_str(), 0700);
    }
    const std::string machine = QSysInfo::machineHostName().toStdString();
    const common::Result<common::MadeAuthority> made = common::makeTlsAuthority(
        path, "halvex HTTPS inspection on " + machine, "halvex, this office's web proxy");
    if (!made) {
        std::fprintf(stderr, "halvex: --make-ca: %s\n", made.why().c_str());
        return common::exitFailed;
    }
    const char *cert = made->cert.c_str();
    std::printf(
        "halvex made a certificate authority for HTTPS inspection on %s (EC P-256, ten years):\n"
        "  certificate  %s   (for the office's browsers)\n"
        "  key          %s   (readable by you only; it never leaves this machine)\n"
        "\n"
        "Use it:  halvex --ca-cert %s --ca-key %s --inspect-https\n"
        "         (or store cacert, cakey and inspecthttps=on under the shared key)\n"
        "\n"
        "Have the office's machines trust the certificate (never the key):\n"
        "  Debian, Ubuntu:  sudo cp %s /usr/local/share/ca-certificates/halvex-ca.crt\n"
        "                   sudo update-ca-certificates\n"
        "  Firefox:         an enterprise policy (policies.json):\n"
        "                   {\"policies\": {\"Certificates\": {\"Install\": [\"%s\"]}}}\n"
        "                   or \"ImportEnterpriseRoots\": true where the system trusts it\n"
        "  Chromium, NSS:   certutil -d sql:$HOME/.pki/nssdb -A -t \"C,,\" -n \"halvex inspection\" -i %s\n"
        "\n"
        "Tell the office's people that halvex reads their HTTPS, and which sites it never reads\n"
        "(--inspect-except).\n",
        machine.c_str(), cert, made->key.c_str(), cert, made->key.c_str(), cert, cert, cert);
    return common::exitOk;
}

}  // namespace halvex
