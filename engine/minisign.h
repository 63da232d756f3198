#pragma once

#include <QByteArray>
#include <QString>

// minisign's public keys and signatures, checked with libsodium: Ed25519 over
// the BLAKE2b-512 hash of the file ("ED", what minisign writes by default)
// or over the file itself (the legacy "Ed"), by a key whose id the signature
// names, and a global signature over the signature and its trusted comment.

struct MinisignKey
{
    QByteArray key_id;     // 8 bytes, as in the files
    QByteArray public_key; // 32 bytes
    // As minisign prints it: the id as a little-endian number, in upper-case hex.
    QString key_id_text() const;
};

struct MinisignKeyRead
{
    MinisignKey key;
    QString error; // empty when the key was read
};

// The text of a public key file, as `minisign -G -p FILE` writes it.
MinisignKeyRead read_minisign_key(const QByteArray &file_text);

struct MinisignVerdict
{
    QString error;           // empty when the signature holds
    QString trusted_comment; // signed with the file; known only when it holds
};

// message: the signed file's bytes; signature_text: its .minisig file.
MinisignVerdict verify_minisign(const MinisignKey &key, const QByteArray &message,
                                const QByteArray &signature_text);
