// The hardware crypto device, used through OpenSSL's "devcrypto" engine
// when the library has it. Its absence is not an error: OpenSSL's own
// implementations are used then.
#ifndef RUNTIME_TLS_TLSENGINE_H
#define RUNTIME_TLS_TLSENGINE_H

struct ssl_ctx_st;

// The name of the engine.
extern const char kHwEngineId[];

// Loads the built-in engines and makes "devcrypto" the default for every
// algorithm class except random numbers. Prints "%s() can not find engine
// Id: %s\n" when the engine is missing. Leaves OpenSSL's error queue empty.
void InitHwEngineServerSSL();

// Makes "devcrypto" the client-certificate engine of ctx; prints the same
// line when it is missing. Leaves OpenSSL's error queue empty.
void EnableHwEngineClientSSL(ssl_ctx_st* ctx);

#endif
