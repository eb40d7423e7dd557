"""The fleet's alert router for the tests: Debian's prometheus-alertmanager on loopback with a private
configuration and storage folder and no cluster, ready once it answers /-/ready.

usage: alert_router.py FOLDER PORTFILE
PORTFILE gets the router's port once it is ready. SIGTERM ends the router with this script.
"""
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.request

folder, portfile = sys.argv[1], sys.argv[2]
with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
config = os.path.join(folder, "alertmanager.yml")
with open(config, "w") as f:
    f.write("route:\n  receiver: nobody\nreceivers:\n  - name: nobody\n")
router = subprocess.Popen(
    ["/usr/bin/prometheus-alertmanager", "--config.file=" + config,
     "--storage.path=" + os.path.join(folder, "alertmanager-data"),
     "--web.listen-address=127.0.0.1:%d" % port, "--cluster.listen-address="],
    stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, "alertmanager.log"), "w"))


def stop(*unused):
    router.terminate()  # the wait below returns once it has ended


signal.signal(signal.SIGTERM, stop)
for _ in range(200):
    if router.poll() is not None:
        sys.exit("alertmanager ended: see " + os.path.join(folder, "alertmanager.log"))
    try:
        if urllib.request.urlopen("http://127.0.0.1:%d/-/ready" % port, timeout=1).status == 200:
            break
    except OSError:
        time.sleep(0.05)
with open(portfile + ".tmp", "w") as f:
    f.write(str(port))
os.rename(portfile + ".tmp", portfile)
router.wait()
