"""Signs requests with botocore's S3 signer, for comparison with the library's signatures.

Reads one JSON request a line on stdin ({"url", "headers", "key", "secret", "token", "region",
"time"}) and prints the Authorization header botocore gives it at that time; with "presign"
true, prints the URL presigned now instead."""
import datetime
import json
import sys
from unittest import mock

import botocore.auth
import botocore.awsrequest
import botocore.credentials

for line in sys.stdin:
    case = json.loads(line)
    credentials = botocore.credentials.Credentials(case["key"], case["secret"],
                                                   case["token"] or None)
    request = botocore.awsrequest.AWSRequest(method="GET", url=case["url"],
                                             headers=case["headers"])
    if case.get("presign"):
        botocore.auth.S3SigV4QueryAuth(credentials, "s3", case["region"]).add_auth(request)
        print(request.url, flush=True)
        continue
    with mock.patch("botocore.auth.datetime") as clock:
        clock.datetime.utcnow.return_value = datetime.datetime.utcfromtimestamp(case["time"])
        botocore.auth.S3SigV4Auth(credentials, "s3", case["region"]).add_auth(request)
    print(request.headers["Authorization"], flush=True)
