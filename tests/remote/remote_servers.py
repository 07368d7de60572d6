"""The remote-reading tests' servers (nginx over http and https, the fault proxy, s3rver) for
Python suites: `started()` runs tarn_remote_servers (its path in TARN_REMOTE_SERVERS), which
starts them on loopback and stops them when the suite closes its input."""
import contextlib
import json
import os
import shutil
import subprocess


class Servers:
    def __init__(self, places):
        self.places = places

    def publish(self, name, path):
        """Copies the file `path` into nginx's folder under `name` (whole: through a new name);
        its http URL."""
        target = os.path.join(self.places["root"], name)
        shutil.copyfile(path, target + ".part")
        os.replace(target + ".part", target)
        return self.http(name)

    def http(self, name):
        return f"http://127.0.0.1:{self.places['http']}/{name}"

    def https(self, name):
        return f"https://127.0.0.1:{self.places['https']}/{name}"

    def proxied(self, faults, name):
        return f"http://127.0.0.1:{self.places['proxy']}/{faults}/{name}"

    @property
    def ca_file(self):
        return self.places["ca"]

    def put_s3(self, key, path):
        """Puts the file into the bucket (s3rver keeps an object as a file); its s3:// URL, or
        None when s3rver did not start."""
        if not self.places["s3"]:
            return None
        target = os.path.join(self.places["s3root"], self.places["bucket"],
                              key + "._S3rver_object")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(path, target + ".part")
        os.replace(target + ".part", target)
        return f"s3://{self.places['bucket']}/{key}"

    def s3_environment(self):
        """The variables that send s3:// URLs to s3rver with its credentials."""
        return {"AWS_ENDPOINT_URL": f"http://127.0.0.1:{self.places['s3']}",
                "AWS_REGION": "us-east-1", "AWS_ACCESS_KEY_ID": "S3RVER",
                "AWS_SECRET_ACCESS_KEY": "S3RVER"}


@contextlib.contextmanager
def started():
    """The servers, running until the block ends; None when TARN_REMOTE_SERVERS is not set."""
    program = os.environ.get("TARN_REMOTE_SERVERS")
    if not program:
        yield None
        return
    process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               text=True)
    try:
        line = process.stdout.readline()
        if not line:
            raise RuntimeError("tarn_remote_servers did not start its servers")
        yield Servers(json.loads(line))
    finally:
        process.stdin.close()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
