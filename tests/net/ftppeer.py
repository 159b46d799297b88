"""An FTP server for the client's upload tests (pyftpdlib; run with /usr/bin/python3).
Listens on 127.0.0.1 with a port the system chooses and prints that port on the first line of
standard output. Arguments: ROOT USER PASSWORD [READONLY_FOLDER]. The user may read and write
everywhere under ROOT, except in READONLY_FOLDER (created if missing), where it may only list
and read, so an upload there is refused while the rest of the session works."""
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, user, password = sys.argv[1], sys.argv[2], sys.argv[3]
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    if len(sys.argv) > 4:
        folder = os.path.join(root, sys.argv[4])
        os.makedirs(folder, exist_ok=True)
        authorizer.override_perm(user, folder, perm="elr", recursive=True)
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.passive_ports = None
    server = FTPServer(("127.0.0.1", 0), handler)
    print(server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
