#!/usr/bin/perl
# Clients of qev on 127.0.0.1, as many as asked, each polling POLLS times
# (default 1) and checking that every record is VALUE's: its text, then zero
# bytes to the record's end. The port and the record's size are read from
# src/protocol.h.
#   after:    one after the other, each connecting once the one before has
#             left; measures the hand-over, from one client's leaving to the
#             next one's first record, and prints its median and worst.
#   together: all connected first, then each polls, then all leave: every
#             one is served while all the others are connected.
#   oneshot:  one after the other, 0.1 s apart (a poller's pace, so that
#             each finds the service idle), each connecting, polling once
#             and leaving; measures connect to record.
# Prints how many clients were served, refused, reset (no whole record) or
# sent a record of the wrong form.
# Usage: clients.pl after|together|oneshot COUNT VALUE [POLLS]
use strict;
use warnings;
use File::Basename;
use Socket;
use Time::HiRes qw(time);

my ($mode, $count, $value, $polls) = @ARGV;
$polls //= 1;
open(my $header, '<', dirname(__FILE__) . '/../src/protocol.h') or die "protocol.h: $!";
my $protocol = do { local $/; <$header> };
my ($port) = $protocol =~ /kPort = (\d+);/ or die "no kPort in protocol.h";
my ($size) = $protocol =~ /kRecordSize = (\d+);/ or die "no kRecordSize in protocol.h";
my $expected = $value . ("\0" x ($size - length($value)));
my ($served, $refused, $reset, $wrong) = (0, 0, 0, 0);
my (@ms, $left);

sub connected {
  socket(my $s, PF_INET, SOCK_STREAM, 0) or die "socket: $!";
  return connect($s, pack_sockaddr_in($port, inet_aton("127.0.0.1"))) ? $s : undef;
}

# One poll: true for a well-formed record; counts what went wrong.
sub polled {
  my ($s) = @_;
  send($s, "x", 0);
  my $record = '';
  while (length($record) < $size) {
    my $got = sysread($s, my $chunk, $size - length($record));
    last unless $got;
    $record .= $chunk;
  }
  if (length($record) != $size) { $reset++; return 0; }
  if ($record ne $expected) { $wrong++; return 0; }
  return 1;
}

# The remaining polls of a client, all well-formed.
sub served {
  my ($s, $n) = @_;
  for (1 .. $n) { return 0 unless polled($s); }
  return 1;
}

if ($mode eq 'oneshot') {
  for (1 .. $count) {
    my $start = time;
    my $s = connected() or do { $refused++; next; };
    if (polled($s)) { $served++; push @ms, (time - $start) * 1000; }
    close($s);
    select(undef, undef, undef, 0.1);
  }
} elsif ($mode eq 'after') {
  for (1 .. $count) {
    my $s = connected() or do { $refused++; next; };
    my $first = polled($s);
    push @ms, (time - $left) * 1000 if $first && defined $left;
    $served++ if $first && served($s, $polls - 1);
    close($s);
    $left = time;
  }
} else {
  my @clients;
  for (1 .. $count) {
    my $s = connected();
    if ($s) { push @clients, $s } else { $refused++ }
  }
  for my $s (@clients) { $served++ if served($s, $polls); }
  close($_) for @clients;
}
my @sorted = sort { $a <=> $b } @ms;
printf "clients=%d served=%d", $count, $served;
printf " median_ms=%.1f worst_ms=%.1f", $sorted[int(@sorted / 2)], $sorted[-1] if @sorted;
printf " refused=%d reset=%d wrong=%d\n", $refused, $reset, $wrong;
