// The top-level help of quor-certs, shown by "quor-certs --help".
#pragma once

namespace quor::cli {

inline constexpr const char* kUsage =
    R"(quor-certs: certificados e cadeias ICP-Brasil no terminal.

Uso:
  quor-certs <comando> [opções] ARGUMENTOS
  quor-certs <comando> --help      ajuda de um comando

Comandos:
  show ARQUIVO     mostra um certificado (PEM, DER ou Base64, como um arquivo ".crt")
  chain ARQUIVO    lê um pacote PKCS#7 em DER (arquivo ".p7b"), ordena a cadeia e mostra
                   os certificados e a situação da cadeia

Opções comuns:
  --json           imprime os mesmos dados como um objeto JSON
  -h, --help       mostra esta ajuda

Exemplos:
  quor-certs show ICP-Brasilv10.crt
  quor-certs show --json AC-SERPRO-SSLv1-v10.crt
  quor-certs chain cadeia.p7b
  quor-certs chain --json cadeia.p7b | jq -r '.certificates[].subjectName'
  openssl crl2pkcs7 -nocrl -certfile a.crt -certfile b.crt -outform DER -out cadeia.p7b

Saída: 0 quando o comando cumpre seu papel; 1 quando a entrada não pode ser lida (a mensagem
de erro sai em uma linha no erro padrão e nada sai na saída padrão); 2 quando a linha de
comando está errada.
)";

}  // namespace quor::cli
