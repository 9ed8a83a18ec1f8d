#ifndef QUELVARN_DRIVER_MESSAGES_H_
#define QUELVARN_DRIVER_MESSAGES_H_

// Every text Quelvarn writes, byte for byte. Scripts and users compare them,
// so change none of them lightly.
//
// The banner's "ñ" and "í" are single bytes of the console's OEM code page
// (0xA4 and 0xA1 in both 437 and 850), written as escapes so that no editor
// or compiler can re-encode them.

constexpr char kBanner[] =
    "Quelvarn: Programa para patchear problema de puertos seriales bajo "
    "Windows 98 SE\n"
    "Compa\xA4\xA1"
    "a Ketravol\n";

constexpr char kUsage[] = "Uso: Quelvarn n\n\tn: numero de COM a usar\n";

constexpr char kOpenFailure[] = "El puerto especificado no pudo ser abierto\n";

// The two formats stay literal macros so that the compiler checks them
// against their arguments.
#define QUELVARN_PORT_NAME_FORMAT "COM%s"
#define QUELVARN_CONFIRMATION_FORMAT "%s inicializado\n"

#endif  // QUELVARN_DRIVER_MESSAGES_H_
