"""A throwaway RFC 3161 time-stamping authority, for trying the `nist_tsa` anchor offline.

Made with the `openssl` command: a root CA, an intermediate CA and a TSA certificate whose
extended key usage is timeStamping only, marked critical (EC P-256 keys, quick to make). It
answers requests with `openssl ts -reply`, as a real TSA answers an HTTP POST. Its keys lie
unprotected in the directory it is given: for tests and examples only.
"""
import datetime
import pathlib
import subprocess
import uuid

POLICY = "1.2.3.4.1"
OTHER_POLICY = "1.2.3.4.2"

_CONFIG = """\
[ ca ]
default_ca = intermediate_ca

[ root_ca ]
database = {dir}/root-index.txt
serial = {dir}/root-serial
new_certs_dir = {dir}/issued
certificate = {dir}/root.pem
private_key = {dir}/root.key
default_md = sha256
default_days = 3650
policy = any_name
unique_subject = no
copy_extensions = none

[ intermediate_ca ]
database = {dir}/intermediate-index.txt
serial = {dir}/intermediate-serial
new_certs_dir = {dir}/issued
certificate = {dir}/intermediate.pem
private_key = {dir}/intermediate.key
default_md = sha256
default_days = 3650
policy = any_name
unique_subject = no
copy_extensions = none

[ any_name ]
commonName = supplied

[ ca_ext ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ tsa_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ tsa ]
default_tsa = tsa_config

[ tsa_config ]
serial = {dir}/tsa-serial
crypto_device = builtin
signer_digest = sha256
default_policy = {policy}
other_policies = {other_policy}
digests = sha256, sha384, sha512, sha1
accuracy = secs:1
clock_precision_digits = 6
ordering = no
tsa_name = yes
ess_cert_id_alg = sha256
"""


def openssl(*args, cwd=None):
    """Runs the `openssl` command; its output on failure is in the CalledProcessError."""
    return subprocess.run(["openssl", *map(str, args)], cwd=cwd, check=True, capture_output=True).stdout


def _asn1_time(when):
    return when.astimezone(datetime.timezone.utc).strftime("%Y%m%d%H%M%SZ")


class LocalTsa:
    """A root, an intermediate and a TSA certificate in `directory`, and `openssl ts -reply`."""

    def __init__(self, directory, *, name="Local TSA"):
        self.dir = pathlib.Path(directory)
        (self.dir / "issued").mkdir(parents=True, exist_ok=True)
        self.config = self.dir / "tsa.cnf"
        self.config.write_text(_CONFIG.format(dir=self.dir, policy=POLICY, other_policy=OTHER_POLICY))
        for prefix in ("root", "intermediate"):
            (self.dir / f"{prefix}-index.txt").write_text("")
            (self.dir / f"{prefix}-serial").write_text(f"{uuid.uuid4().int >> 64:016x}\n")  # an even count of digits
        (self.dir / "tsa-serial").write_text("01\n")
        self._key("root")
        openssl("req", "-x509", "-new", "-key", self.dir / "root.key", "-subj", "/CN=Local Root CA",
                "-days", 3650, "-config", self.config, "-extensions", "ca_ext", "-out", self.dir / "root.pem")
        self.intermediate = self.issue("intermediate", "Local Intermediate CA", extensions="ca_ext", ca="root_ca")
        self.signer = self.issue("tsa", name)

    def _key(self, stem):
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", self.dir / f"{stem}.key")

    def issue(self, stem, common_name, *, extensions="tsa_ext", ca="intermediate_ca", not_before=None,
              not_after=None):
        """A new key and certificate `<stem>.pem`, `<stem>.key` (extensions: a section of the
        configuration, or a path to another file holding a section of that name); returns the
        certificate's path. The validity defaults to now until ten years from now."""
        self._key(stem)
        csr = self.dir / f"{stem}.csr"
        openssl("req", "-new", "-key", self.dir / f"{stem}.key", "-subj", f"/CN={common_name}", "-out", csr)
        now = datetime.datetime.now(datetime.timezone.utc)
        start = not_before or now - datetime.timedelta(minutes=5)
        end = not_after or now + datetime.timedelta(days=3650)
        extfile = []
        if isinstance(extensions, pathlib.Path):
            extfile, extensions = ["-extfile", extensions], "tsa_ext"
        openssl("ca", "-batch", "-config", self.config, "-name", ca, "-extensions", extensions, *extfile,
                "-startdate", _asn1_time(start), "-enddate", _asn1_time(end), "-notext",
                "-in", csr, "-out", self.dir / f"{stem}.pem")
        return self.dir / f"{stem}.pem"

    @property
    def root_pem(self):
        return (self.dir / "root.pem").read_bytes()

    @property
    def intermediate_pem(self):
        return self.intermediate.read_bytes()

    def reply(self, request, *, signer=None, chain=True):
        """The DER TimeStampResp for a DER TimeStampReq, signed by the TSA certificate or by
        `signer` (a path from `issue`); with `chain`, the intermediate joins the signer's
        certificate in the token when the request asks for certificates."""
        signer = pathlib.Path(signer or self.signer)
        query = self.dir / f"{uuid.uuid4().hex}.tsq"
        answer = query.with_suffix(".tsr")
        query.write_bytes(request)
        try:
            openssl("ts", "-reply", "-config", self.config, "-queryfile", query, "-signer", signer,
                    "-inkey", signer.with_suffix(".key"), *(["-chain", self.intermediate] if chain else []),
                    "-out", answer)
            return answer.read_bytes()
        finally:
            query.unlink()
            answer.unlink(missing_ok=True)
