classdef Instance < handle
    %INSTANCE One connection to the Kaltrop application.
    %
    %   app = ktremote.Instance();               % network instance
    %   app = ktremote.Instance('automation');   % OLE automation (Windows)
    %   app.connect('localhost 8999 8001');      % host, command port, data port
    %   ch = app.channel('Voltage');             % by name or by id
    %   app.start();
    %   [values, times, overrun] = ch.read();
    %   app.stop();
    %   clear ch app                             % frees the handles
    %
    %   Every failure raises an error whose identifier names the library's
    %   result code, for example ktremote:KX_ERR_NOT_CONNECTED.
    %
    %   Clearing the object (or calling delete) stops a measurement started
    %   through it, closes the connection and frees its channel handles.

    % SPDX-License-Identifier: MIT

    properties (SetAccess = private)
        Handle   % the gateway's number for this instance (uint64)
    end

    methods
        function obj = Instance(kind)
            if nargin < 1
                kind = 'network';
            end
            switch kind
                case 'network'
                    obj.Handle = ktremote_mex('create', true);
                case 'automation'
                    obj.Handle = ktremote_mex('create', false);
                otherwise
                    error('ktremote:badArgument', ...
                          'ktremote.Instance: kind must be ''network'' or ''automation''');
            end
        end

        function delete(obj)
            if isempty(obj.Handle)
                return;
            end
            try
                ktremote_mex('free', obj.Handle);
            catch
                % Freed with the gateway already; delete must not raise.
            end
            obj.Handle = [];
        end

        function connect(obj, host, commandPort, dataPort)
            %CONNECT Connects: connect('host cmdport dataport') or
            %   connect(host, commandPort, dataPort). A network connect
            %   takes at least 2 seconds.
            if nargin == 4
                host = sprintf('%s %d %d', host, commandPort, dataPort);
            elseif nargin ~= 2
                error('ktremote:badArgument', ...
                      'usage: connect(''host cmdport dataport'') or connect(host, commandPort, dataPort)');
            end
            ktremote_mex('connect', obj.Handle, host);
        end

        function disconnect(obj)
            %DISCONNECT Closes the command connection.
            ktremote_mex('disconnect', obj.Handle);
        end

        function n = channelCount(obj)
            %CHANNELCOUNT Number of channels the application's setup uses.
            n = ktremote_mex('channelCount', obj.Handle);
        end

        function ids = channelIds(obj)
            %CHANNELIDS Ids of the used channels, a cell column of char.
            ids = ktremote_mex('channelIds', obj.Handle);
        end

        function list = channels(obj)
            %CHANNELS The used channels as a struct column with the fields
            %   id, name, unit, type ('sync', 'async' or 'single'),
            %   sampleRate (Hz; -1 for single values) and isControl.
            %   Channels open on this instance stay marked for measuring;
            %   the others are left unmarked.
            ids = obj.channelIds();
            list = repmat(struct('id', '', 'name', '', 'unit', '', 'type', '', ...
                                 'sampleRate', 0, 'isControl', false), numel(ids), 1);
            for k = 1:numel(ids)
                if isempty(ids{k})
                    list(k).type = 'unknown';   % a channel without a name has no id to open
                    continue;
                end
                handle = ktremote_mex('openChannel', obj.Handle, ids{k});
                try
                    info = ktremote_mex('channelInfo', handle);
                    ktremote_mex('setTransferred', handle, false);
                catch err
                    ktremote_mex('free', handle);
                    rethrow(err);
                end
                ktremote_mex('free', handle);
                list(k).id = ids{k};
                list(k).name = info.name;
                list(k).unit = info.unit;
                list(k).type = ktremote.Channel.typeName(info.type);
                list(k).sampleRate = info.sampleRate;
                list(k).isControl = info.isControl;
            end
        end

        function ch = channel(obj, nameOrId)
            %CHANNEL Opens a channel by name, or by id when no channel has
            %   that name, and marks it for measuring.
            try
                ch = obj.channelByName(nameOrId);
            catch err
                if ~strcmp(err.identifier, 'ktremote:KX_ERR_CHANNEL_NOT_FOUND')
                    rethrow(err);
                end
                try
                    ch = obj.channelById(nameOrId);
                catch
                    rethrow(err);
                end
            end
        end

        function ch = channelById(obj, id)
            %CHANNELBYID Opens the channel with this id ('0,1,1' ...).
            ch = ktremote.Channel(obj, ktremote_mex('openChannel', obj.Handle, id), id);
        end

        function ch = channelByName(obj, name)
            %CHANNELBYNAME Opens the first channel with this name.
            ch = ktremote.Channel(obj, ktremote_mex('openChannelByName', obj.Handle, name), '');
        end

        function setBufferSize(obj, samples)
            %SETBUFFERSIZE Samples kept per channel between two reads, from
            %   the next start on (default 3000). Network instances only.
            ktremote_mex('setBufferSize', obj.Handle, samples);
        end

        function start(obj)
            %START Starts measuring the open channels.
            ktremote_mex('start', obj.Handle);
        end

        function stop(obj)
            %STOP Stops measuring; samples already received stay readable.
            ktremote_mex('stop', obj.Handle);
        end

        function name = state(obj)
            %STATE The application's state: 'unknown', 'setup', 'acquiring',
            %   'stopped' or 'analysis'.
            name = ktremote.Instance.stateName(ktremote_mex('state', obj.Handle));
        end

        function running = isAcquiring(obj)
            %ISACQUIRING True while the application acquires.
            [~, running] = ktremote_mex('state', obj.Handle);
        end

        function loadSetup(obj, file)
            %LOADSETUP Makes the application load a setup file (a path on
            %   the application's machine). Open channels again afterwards.
            ktremote_mex('loadSetup', obj.Handle, file);
        end

        function startStoring(obj, file)
            %STARTSTORING Makes the application store into FILE while it
            %   acquires.
            ktremote_mex('startStoring', obj.Handle, file);
        end

        function name = stopStoring(obj)
            %STOPSTORING Stops storing; gives the state afterwards.
            name = ktremote.Instance.stateName(ktremote_mex('stopStoring', obj.Handle));
        end
    end

    methods (Static)
        function text = version()
            %VERSION The library's version text.
            text = ktremote_mex('version');
        end

        function name = stateName(state)
            names = {'unknown', 'setup', 'acquiring', 'stopped', 'analysis'};
            if state >= 0 && state < numel(names)
                name = names{state + 1};
            else
                name = 'unknown';
            end
        end
    end
end
