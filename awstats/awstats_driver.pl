#!/usr/bin/perl
# Runs the AWStats update and the report pages of one log file for the
# statistics program, with one compile of the installation's awstats.pl.
#
# Usage: perl awstats_driver.pl AWSTATS_PL JOBS <REQUESTS >RESULTS
#
# awstats.pl is compiled unchanged as the body of one sub. Each run is a
# forked child that calls it with the run's arguments in @ARGV and its own
# standard streams, so AWStats' top-level code, its "exit" and its "die"
# behave as in "perl awstats.pl ARGUMENTS". The update runs first; the pages
# follow only when it ended with 0, at most JOBS at once.
#
# REQUESTS: fields ended by NUL bytes; per run: the kind ("update" or
# "page"), the standard input ("" for none), the standard output ("" to
# catch it with the standard error), the number of arguments, the arguments.
# RESULTS: per run as it ends, "INDEX exit|signal|error CODE LENGTH\n", then
# LENGTH bytes (what the run wrote to its standard error, and its standard
# output when that was caught; for "error", why it could not run) and "\n".

# Files are compiled through require, outside every scope of this file: the
# code sees no lexical of ours and starts without strict or warnings, as a
# script does. (An eval of the text would be slower: Perl's lexer takes a
# long string statement by statement in quadratic time.)
sub compile_text {
  my ($name, $text) = @_;
  local @INC = (sub { return if $_[1] ne $name; open(my $in, '<', \$text) or return; return $in }, @INC);
  my $ok = eval { require $name };
  delete $INC{$name};
  return $ok;
}

use strict;
use warnings;
use IO::Handle ();
use POSIX ();

my ($script, $jobs) = @ARGV;
die "usage: perl awstats_driver.pl AWSTATS_PL JOBS <REQUESTS >RESULTS\n" unless defined $jobs && $jobs =~ /^\d+$/;
$jobs = 1 if $jobs < 1;

my @requests;
{
  binmode STDIN;
  local $/ = "\0";
  my @fields = <STDIN>;
  chomp @fields;
  while (@fields) {
    my ($kind, $input, $output, $count) = splice @fields, 0, 4;
    die "awstats_driver: a request is cut short\n" unless defined $count && $count =~ /^\d+$/ && @fields >= $count;
    push @requests, {kind => $kind, input => $input, output => $output, arguments => [splice @fields, 0, $count]};
  }
}

{
  open(my $file, '<:raw', $script) or die "awstats_driver: cannot read $script: $!\n";
  my $source = do { local $/; <$file> };
  # "#line" keeps AWStats' own file name and line numbers in what it says.
  compile_text("AWStatsDriver/awstats.pl", "package main;\nsub awstats_main {\n#line 1 \"$script\"\n$source\n;}\n1;\n")
    or die "awstats_driver: cannot compile $script: $@";
}

# A child ends with the driver, as every child of the program's workers does.
my $prctl = eval { package AWStatsDriver::Syscalls; require 'syscall.ph'; &AWStatsDriver::Syscalls::SYS_prctl() };
my $driver = $$;

# AWStats' reference data (its lib/*.pm, hundreds of kilobytes of Perl) is
# most of a page run. Every page of a configuration loads the same files, so
# the first page run tells which, and the driver loads them once before the
# other pages fork: their own require of a file then finds it loaded, with
# the same contents it would have made of it.
(my $awstatsDirectory = $script) =~ s/([^\/\\]+)$//;  # as AWStats finds its $DIR
my @libDirectories = ("${awstatsDirectory}/lib", '/usr/share/awstats/lib');
my ($recording, @required, $fastExit);
sub record_require {
  push @required, $_[1] if $recording;
  return;
}
END {
  # A page ends without Perl's global destruction: it changes nothing the
  # run wrote, but it would copy every page of memory shared with the driver.
  if ($fastExit) {
    my $code = $?;
    if ($recording) {
      print $recording join('', map { "$_\t" . ($INC{$_} // '') . "\n" } @required);
      $recording->flush;
    }
    STDOUT->flush;
    STDERR->flush;
    POSIX::_exit($code);
  }
}
sub preload {
  my ($record) = @_;
  seek $record, 0, 0;
  while (my $line = <$record>) {
    chomp $line;
    my ($name, $path) = split /\t/, $line, 2;
    next if !$path || $INC{$name} || $name =~ m{^/};
    my ($directory) = grep { $path eq "$_/$name" } @libDirectories;
    next unless defined $directory;
    local @INC = ($directory, @INC);
    eval { require $name; 1 } or do { delete $INC{$name}; last };
  }
}

binmode STDOUT;
STDOUT->autoflush(1);

sub report {
  my ($index, $how, $code, $said) = @_;
  print STDOUT "$index $how $code " . length($said) . "\n$said\n";
}

# Starts request $index with $caught for its standard error; gives back the
# child's pid, or undef when it could not start.
sub start {
  my ($index, $caught, $record) = @_;
  my $request = $requests[$index];
  STDOUT->flush;
  STDERR->flush;
  my $pid = fork;
  return $pid if !defined $pid || $pid;

  # The child: becomes "perl awstats.pl ARGUMENTS".
  syscall($prctl, 1, 9) if defined $prctl;  # PR_SET_PDEATHSIG, SIGKILL
  POSIX::_exit(137) if getppid() != $driver;
  my $input = $request->{input} eq '' ? '/dev/null' : $request->{input};
  my $ok = open(STDIN, '<', $input)
    && ($request->{output} eq '' ? open(STDOUT, '>&', $caught) : open(STDOUT, '>', $request->{output}))
    && open(STDERR, '>&', $caught);
  unless ($ok) {
    print $caught "cannot open the standard streams: $!\n";
    $caught->flush;
    POSIX::_exit(126);
  }
  close $caught;
  if ($request->{kind} eq 'page') {
    $fastExit = 1;
    if ($record) {
      $recording = $record;
      unshift @INC, \&record_require;
    }
  }
  $0 = $script;
  @ARGV = @{$request->{arguments}};
  $^T = time;
  awstats_main();
  exit 0;
}

# Runs the requests @$queue, at most $limit at once; $record, when given,
# learns what the first one loads, and the rest wait for it. Gives back the
# number that ended with 0.
sub run_all {
  my ($limit, $queue, $record) = @_;
  my @queue = @$queue;
  my %running;
  my $succeeded = 0;
  while (@queue || %running) {
    while (@queue && keys %running < ($record ? 1 : $limit)) {
      my $index = shift @queue;
      my $caught;
      unless (open($caught, '+>', undef)) {
        report($index, 'error', 0, "cannot make a temporary file: $!");
        next;
      }
      binmode $caught;
      my $pid = start($index, $caught, $record);
      if (defined $pid) {
        $running{$pid} = [$index, $caught];
      } else {
        report($index, 'error', 0, "cannot fork: $!");
        close $caught;
      }
    }
    last unless %running;
    my $pid = waitpid(-1, 0);
    last if $pid <= 0;
    my $run = delete $running{$pid} or next;
    my $status = $?;
    my ($index, $caught) = @$run;
    seek $caught, 0, 0;
    my $said = do { local $/; <$caught> } // '';
    close $caught;
    if ($status & 127) {
      report($index, 'signal', $status & 127, $said);
    } else {
      report($index, 'exit', $status >> 8, $said);
      ++$succeeded if ($status >> 8) == 0;
    }
    if ($record) {
      preload($record) if $status == 0;
      close $record;
      undef $record;
    }
  }
  return $succeeded;
}

my @updates = grep { $requests[$_]{kind} eq 'update' } 0 .. $#requests;
my @pages = grep { $requests[$_]{kind} eq 'page' } 0 .. $#requests;
exit 0 if @updates && run_all(1, \@updates) < @updates;
my $record;
undef $record unless open($record, '+>', undef);
$record->autoflush(1) if $record;
run_all($jobs, \@pages, $record);
exit 0;
