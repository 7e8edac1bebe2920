"""The SBOM's cryptographic inventory (CycloneDX 1.6 cryptoProperties): one cryptographic-asset
component per algorithm the module runs in AWS-LC, what a scanner of an organisation's
cryptography reads. Each says which of the module's calls use it and which library functions it
runs through (src/core/), and its certification level: fips140-3-l1 only for an algorithm the
Security Policy of AWS-LC-FIPS (the certificate setup/pins names) approves, and only on the library
built from the verified zip, the one the certificate covers; none otherwise (the RSA-OAEP wrap on
any build, every algorithm on Debian's build or on one from a tree).
Standard library only.
"""

# The certificate's level: FIPS 140-3, overall security level 1 (its Security Policy, section 1).
CERTIFIED = "fips140-3-l1"
UNCERTIFIED = "none"

# (bom-ref, name, OID or None, algorithmProperties without certificationLevel, approved by the
#  Security Policy, the module's calls using it, the library functions it runs through, how the
#  Security Policy names it)
ASSETS = (
    ("crypto-sha-384", "SHA-384", "2.16.840.1.101.3.4.2.2",
     {"primitive": "hash", "parameterSetIdentifier": "384", "cryptoFunctions": ["digest"]},
     True, "create_hash compare_hash Token.from_bytes Token.compare_token Hasher VerifyingHasher",
     "EVP_sha384 EVP_DigestInit_ex EVP_DigestUpdate EVP_DigestFinal",
     "SHA2-384 (Approved Algorithms; service Message Digest)"),
    ("crypto-aes-256-gcm", "AES-256-GCM", "2.16.840.1.101.3.4.1.46",
     {"primitive": "ae", "parameterSetIdentifier": "256", "mode": "gcm", "cryptoFunctions": ["encrypt", "tag"]},
     True, "encrypt encrypt_mlkem",
     "EVP_aead_aes_256_gcm_randnonce EVP_AEAD_CTX_new EVP_AEAD_CTX_seal_scatter",
     "AES-GCM, IV Generation - Internal (Approved Algorithms; IG C.H scenario 2, random IV)"),
    ("crypto-rsa-oaep", "RSA-OAEP-SHA-256-MGF1-SHA-256", "1.2.840.113549.1.1.7",
     {"primitive": "pke", "parameterSetIdentifier": "2048-4096", "padding": "oaep", "cryptoFunctions": ["encrypt"]},
     False, "encrypt",
     "EVP_parse_public_key EVP_PKEY_encrypt (RSA_PKCS1_OAEP_PADDING, EVP_sha256 for OAEP and MGF1, empty label)",
     "RSA encryption primitive with PKCS#1 v1.5 and OAEP padding (Non-Approved, Not Allowed Algorithms)"),
    ("crypto-ml-kem-768", "ML-KEM-768", "2.16.840.1.101.3.4.4.2",
     {"primitive": "kem", "parameterSetIdentifier": "768", "cryptoFunctions": ["encapsulate"],
      "nistQuantumSecurityLevel": 3},
     True, "encrypt_mlkem", "EVP_PKEY_kem_new_raw_public_key (NID_MLKEM768) EVP_PKEY_encapsulate",
     "ML-KEM EncapDecap, ML-KEM-768 (Approved Algorithms, FIPS 203)"),
    ("crypto-ml-kem-1024", "ML-KEM-1024", "2.16.840.1.101.3.4.4.3",
     {"primitive": "kem", "parameterSetIdentifier": "1024", "cryptoFunctions": ["encapsulate"],
      "nistQuantumSecurityLevel": 5},
     True, "encrypt_mlkem", "EVP_PKEY_kem_new_raw_public_key (NID_MLKEM1024) EVP_PKEY_encapsulate",
     "ML-KEM EncapDecap, ML-KEM-1024 (Approved Algorithms, FIPS 203)"),
    # AES-256 CTR_DRBG with a derivation function: the content key of encrypt, and, inside the
    # library, the GCM nonce and the encapsulation's randomness. No OID names a DRBG.
    ("crypto-ctr-drbg", "CTR_DRBG-AES-256", None,
     {"primitive": "drbg", "parameterSetIdentifier": "AES-256", "cryptoFunctions": ["generate"]},
     True, "encrypt (the content key); inside the library, the GCM nonce and ML-KEM encapsulation",
     "RAND_bytes", "Counter DRBG, AES-256, with a derivation function (Approved Algorithms; SP 800-90A Rev. 1)"),
)


def assets(certified):
    """The cryptographic-asset components, CERTIFIED saying whether the library they run in is
    the one the certificate covers (the SBOM names the certificate on it)."""
    out = []
    for ref, name, oid, algorithm, approved, calls, functions, policy in ASSETS:
        level = CERTIFIED if certified and approved else UNCERTIFIED
        crypto = {"assetType": "algorithm",
                  "algorithmProperties": {**algorithm, "executionEnvironment": "software-plain-ram",
                                          "certificationLevel": [level]}}
        if oid:
            crypto["oid"] = oid
        out.append({"type": "cryptographic-asset", "bom-ref": ref, "name": name, "cryptoProperties": crypto,
                    "properties": [{"name": "core-fips:used-by", "value": calls},
                                   {"name": "core-fips:library-functions", "value": functions},
                                   {"name": "core-fips:security-policy", "value": policy}]})
    return out


def add_inventory(bom, library_ref, certified):
    """BOM with the inventory added: the assets among its components, and the library LIBRARY_REF
    providing them (dependencies[].provides)."""
    found = assets(certified)
    bom["components"] = bom["components"] + found
    refs = [c["bom-ref"] for c in found]
    deps = [d for d in bom["dependencies"] if d["ref"] != library_ref]
    own = next((d for d in bom["dependencies"] if d["ref"] == library_ref), {"ref": library_ref, "dependsOn": []})
    bom["dependencies"] = deps + [{**own, "provides": refs}]
    return bom
