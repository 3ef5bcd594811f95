/usr/lib/nagios/plugins/check_file_age -f /var/lib/qev/current -w 300 -c 900 -W 2 -C 2
