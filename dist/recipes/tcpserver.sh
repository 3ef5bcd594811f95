tcpserver -u "$(id -u qev)" -g "$(id -g qev)" -R -H -l 0 -c 40 -b 128 \
  0 8792 env --chdir=/var/lib/qev /usr/bin/qev
