/* Example board program: greets on the console channel of the boot monitor,
 * then echoes what it receives, in upper case. */
#include <stdint.h>

#define CONSOLE_WORD (*(volatile uint16_t *)0x806)
#define DUART_A 0xC01u
#define DUART_B 0xC11u
#define SR(base) (*(volatile uint8_t *)((base) + 2u))
#define BUF(base) (*(volatile uint8_t *)((base) + 6u))
#define RXRDY 0x01u
#define TXRDY 0x04u

static void put(uint32_t base, char c) {
    while (!(SR(base) & TXRDY)) {
    }
    BUF(base) = (uint8_t)c;
}

static void puts_(uint32_t base, const char *s) {
    while (*s) put(base, *s++);
}

int main(void) {
    const uint32_t base = CONSOLE_WORD == 0x0C00 ? DUART_A : DUART_B;
    puts_(base, "\r\nHello from Zelmo! The new ROM is running.\r\n");
    for (;;) {
        if (SR(base) & RXRDY) {
            char c = (char)BUF(base);
            if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
            put(base, c);
        }
    }
}
