/usr/lib/nagios/plugins/check_tcp -H 127.0.0.1 -p 8793 -s x -e 42
