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
  list [REPOSITÓRIO...]
                   lista os certificados dos repositórios MY, AddressBook, CA e ROOT
  add ARQUIVO...   adiciona certificados (".crt" ou ".p7b") ao repositório adequado
  remove IMPRESSÃO...
                   remove certificados de todos os repositórios que os guardam
  verify IMPRESSÃO mostra a cadeia de um certificado guardado e sua situação
  install          baixa as cadeias ICP-Brasil e instala as que faltam (--official: o
                   arquivo de certificados do ITI, conferido antes de instalar)
  import ARQUIVO   importa um arquivo PKCS#12 (.p12/.pfx) para MY com sua chave privada
  sign IMPRESSÃO ARQUIVO
                   assina um arquivo com a chave privada de um certificado guardado
  sync             atualiza as cópias dos repositórios nos bancos NSS (navegadores)
  export [REPOSITÓRIO...] -o ARQUIVO
                   grava os certificados em PEM (curl, Python, PHP) ou, com
                   --format pkcs12, em um repositório PKCS#12 para o Java
  system add ARQUIVO... | add --from-user | remove IMPRESSÃO... | list
                   como root, põe autoridades na confiança do sistema e as tira

Opções comuns:
  --json           imprime os mesmos dados como um objeto JSON
  -h, --help       mostra esta ajuda
  --version        mostra a versão do quor-certs

Exemplos:
  quor-certs show ICP-Brasilv10.crt
  quor-certs show --json AC-SERPRO-SSLv1-v10.crt
  quor-certs chain cadeia.p7b
  quor-certs install --yes
  quor-certs install --official --yes
  quor-certs list --json ROOT
  quor-certs export --format pkcs12 -o icp-brasil.p12
  quor-certs chain --json cadeia.p7b | jq -r '.certificates[].subjectName'
  openssl crl2pkcs7 -nocrl -certfile a.crt -certfile b.crt -outform DER -out cadeia.p7b

Saída: 0 quando o comando cumpre seu papel; 1 quando a entrada não pode ser lida (a mensagem
de erro sai em uma linha no erro padrão e nada sai na saída padrão); 2 quando a linha de
comando está errada.
)";

}  // namespace quor::cli
