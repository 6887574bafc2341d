function ktremote_build(includeDir, libraryDir, outDir)
%KTREMOTE_BUILD Builds the gateway ktremote_mex from ktremote_mex.c.
%   ktremote_build(INCLUDEDIR, LIBRARYDIR) compiles the gateway against the
%   headers in INCLUDEDIR (ktremote.h, ktremote_results.h) and the 64-bit
%   library in LIBRARYDIR: libktremote64.so on Linux, the import library
%   ktremote64.lib on Windows (its ktremote64.dll is copied next to the
%   gateway). The gateway goes next to this file, or into OUTDIR when given.
%
%   Works in MATLAB (mex) and in Octave (mkoctfile --mex). On Linux the
%   gateway finds the library through LIBRARYDIR, which is recorded in it.
%
%   Example, with a build tree of the library:
%       ktremote_build('/path/to/ktremote/include', '/path/to/build/linux64/src')

% SPDX-License-Identifier: MIT
here = fileparts(mfilename('fullpath'));
if nargin < 3
    outDir = here;
end
% The library's directory is recorded in the gateway: make it absolute.
includeDir = absolutePath(includeDir);
libraryDir = absolutePath(libraryDir);
outDir = absolutePath(outDir);
if ~exist(outDir, 'dir')
    mkdir(outDir);
end
source = fullfile(here, 'ktremote_mex.c');
args = {['-I' includeDir], ['-L' libraryDir], '-lktremote64'};

if exist('OCTAVE_VERSION', 'builtin')
    if ~ispc
        args{end + 1} = ['-Wl,-rpath,' libraryDir];
    end
    [output, status] = mkoctfile('--mex', args{:}, '-o', fullfile(outDir, 'ktremote_mex'), source);
    if status ~= 0
        error('ktremote:build', 'mkoctfile failed:\n%s', output);
    end
else
    if isunix && ~ismac
        args{end + 1} = ['LDFLAGS=$LDFLAGS -Wl,-rpath,' libraryDir];
    end
    mex('-outdir', outDir, args{:}, source);
end

if ispc
    dll = fullfile(libraryDir, 'ktremote64.dll');
    if exist(dll, 'file')
        copyfile(dll, outDir);
    end
end
end

function p = absolutePath(p)
if ~(strncmp(p, '/', 1) || strncmp(p, '\\', 2) || (numel(p) >= 2 && p(2) == ':'))
    p = fullfile(pwd, p);
end
end
