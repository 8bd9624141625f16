"""Who signed a Windows program: the certificate of the one signer of its Authenticode signature
(the PKCS#7 SignedData in the image's attribute certificate table), found as Windows finds it,
by the issuer and serial number the signer names, never by which certificates the signature
happens to carry (a signature may carry any certificate, the expected signer's included)."""

import hashlib

import pe_image

SIGNED_DATA_OID = bytes.fromhex("2a864886f70d010702")  # 1.2.840.113549.1.7.2
SEQUENCE, SET, INTEGER, OID = 0x30, 0x31, 0x02, 0x06
CONTEXT_0, CONTEXT_1 = 0xA0, 0xA1


class NotSigned(ValueError):
    """The program carries no signature this reader can attribute to one signer (the text says why)."""


def element(data, offset, end=None):
    """(tag, start of the content, end of the content) of the DER element at `offset`."""
    end = len(data) if end is None else end
    if offset + 2 > end:
        raise NotSigned("the signature is cut short")
    tag, length = data[offset], data[offset + 1]
    start = offset + 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or start + count > end:
            raise NotSigned("the signature is not DER")
        length = int.from_bytes(data[start:start + count], "big")
        start += count
    if start + length > end:
        raise NotSigned("the signature is cut short")
    return tag, start, start + length


def children(data, start, end):
    """[(tag, start, content start, content end)] of the elements between start and end."""
    found = []
    while start < end:
        tag, content, content_end = element(data, start, end)
        found.append((tag, start, content, content_end))
        start = content_end
    return found


def expect(item, tag, what):
    if item[0] != tag:
        raise NotSigned(f"the signature's {what} is not where PKCS#7 puts it")
    return item


def certificate_key(data, certificate):
    """(issuer, serial number) of a certificate, each as its DER bytes."""
    _, _, content, end = certificate
    tbs = expect(children(data, content, end)[0], SEQUENCE, "certificate")
    fields = children(data, tbs[2], tbs[3])
    if fields and fields[0][0] == CONTEXT_0:  # explicit version
        fields = fields[1:]
    serial, _, issuer = fields[0], fields[1], fields[2]
    expect(serial, INTEGER, "certificate serial number")
    expect(issuer, SEQUENCE, "certificate issuer")
    return data[issuer[1]:issuer[3]], data[serial[1]:serial[3]]


def signer_certificate(signed_data):
    """The DER bytes of the certificate of the one signer of a PKCS#7 SignedData."""
    data = bytes(signed_data)
    tag, content, end = element(data, 0)
    if tag != SEQUENCE:
        raise NotSigned("the signature is not a PKCS#7 ContentInfo")
    info = children(data, content, end)
    oid = expect(info[0], OID, "content type")
    if data[oid[2]:oid[3]] != SIGNED_DATA_OID:
        raise NotSigned("the signature is not PKCS#7 SignedData")
    wrapper = expect(info[1], CONTEXT_0, "content")
    signed = expect(children(data, wrapper[2], wrapper[3])[0], SEQUENCE, "SignedData")
    parts = children(data, signed[2], signed[3])
    certificates = [c for part in parts if part[0] == CONTEXT_0 for c in children(data, part[2], part[3])]
    signer_infos = expect(parts[-1], SET, "signer list")
    signers = children(data, signer_infos[2], signer_infos[3])
    if len(signers) != 1:
        raise NotSigned(f"the signature has {len(signers)} signers, not one")
    identifier = expect(children(data, signers[0][2], signers[0][3])[1], SEQUENCE, "signer identifier")
    issuer, serial = children(data, identifier[2], identifier[3])[:2]
    wanted = (data[issuer[1]:issuer[3]], data[serial[1]:serial[3]])
    matching = [c for c in certificates if c[0] == SEQUENCE and certificate_key(data, c) == wanted]
    if len(matching) != 1:
        raise NotSigned("the signature does not carry its signer's certificate" if not matching
                        else "the signature carries its signer's certificate twice")
    return data[matching[0][1]:matching[0][3]]


def signer_fingerprint(program):
    """The SHA-256 fingerprint (lower-case hex) of the certificate that signed the program's
    bytes; NotSigned when it carries no single Authenticode signature."""
    try:
        image = pe_image.parse_checked(program)
    except pe_image.Refused as refused:
        raise NotSigned(str(refused)) from None
    signatures = [blob for kind, blob in image.certificates if kind == pe_image.WIN_CERT_TYPE_PKCS_SIGNED_DATA]
    if len(image.certificates) != 1 or len(signatures) != 1:
        raise NotSigned(f"{len(image.certificates)} attribute certificates, not one Authenticode signature")
    try:
        return hashlib.sha256(signer_certificate(signatures[0])).hexdigest()
    except IndexError:
        raise NotSigned("the signature is not PKCS#7 SignedData") from None


def normal_fingerprint(text):
    """A SHA-256 fingerprint as 64 lower-case hex digits, from that or openssl's AB:CD:... form;
    None when it is neither."""
    digits = text.strip().replace(":", "").lower()
    if len(digits) != 64 or any(c not in "0123456789abcdef" for c in digits):
        return None
    return digits
