#include "live/browser/WatchPage.h"

#include <string_view>

namespace browser {

namespace {

std::string Escape(std::string_view text)
{
    std::string out;
    for (char ch : text) {
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += ch;
        }
    }
    return out;
}

// Plays /live.mp4 through Media Source Extensions where the browser has
// them for H.264; otherwise HLS (/live.m3u8) where the browser plays it
// natively (Safari on phones), jumping back near the live edge after a
// pause and starting again after an error; otherwise the MJPEG picture.
// With Media Source Extensions: appends what arrives,
// in "sequence" mode so a viewer skipped forward by the server plays on
// without a gap; keeps the play position near the newest picture (speeds
// up slightly when more than 0.1 s behind, jumps when more than 0.3 s);
// reconnects after a dropped connection; says when the viewer limit is
// reached.
constexpr std::string_view kPlayer = R"(<script>
(function(){
var v=document.getElementById('live'),note=document.getElementById('note');
var codec='video/mp4; codecs="avc1.42C01E"';
function say(t){note.textContent=t;note.hidden=!t;}
function mjpeg(){
  document.body.dataset.mode='mjpeg';
  var i=document.createElement('img');
  i.src='/live.mjpg'+location.search;i.width=v.width;i.height=v.height;i.alt='Live picture';
  v.replaceWith(i);
}
function hls(){
  document.body.dataset.mode='hls';
  v.hidden=false;
  var played=false;
  v.addEventListener('playing',function(){played=true;say('');});
  v.addEventListener('timeupdate',function(){
    var s=v.seekable;
    if(s.length&&s.end(s.length-1)-v.currentTime>6)v.currentTime=s.end(s.length-1)-3;
  });
  v.addEventListener('error',function(){
    if(!played){
      fetch('/status.json'+location.search,{cache:'no-store'}).then(function(r){return r.json();}).then(function(j){
        if(j.limit&&j.viewers>=j.limit){say('The viewer limit is reached: the picture appears when a viewer leaves.');setTimeout(again,5000);}
        else mjpeg();
      },mjpeg);
      return;
    }
    played=false;setTimeout(again,2000);
  });
  function again(){v.src='/live.m3u8'+location.search;v.play().catch(function(){});}
  again();
}
var MS=window.MediaSource;
if(!(MS&&MS.isTypeSupported(codec)&&window.fetch&&window.ReadableStream)){
  if(v.canPlayType('application/vnd.apple.mpegurl'))hls();else mjpeg();
  return;
}
document.body.dataset.mode='mse';
v.hidden=false;
var failed=false;
v.addEventListener('error',function(){if(!failed){failed=true;mjpeg();}});
function start(){
  if(failed)return;
  var ms=new MS(),queue=[],sb=null,over=false,ctl=new AbortController();
  v.src=URL.createObjectURL(ms);
  function again(ms){if(over)return;over=true;ctl.abort();setTimeout(start,ms);}
  function pump(){
    if(!sb||sb.updating||!queue.length)return;
    try{sb.appendBuffer(queue.shift());}catch(e){again(1000);}
  }
  function edge(){
    var b=v.buffered;
    if(!b.length)return false;
    var end=b.end(b.length-1),lag=end-v.currentTime;
    if(lag>0.3)v.currentTime=end-0.03;
    v.playbackRate=lag>0.1?1.1:1;
    if(v.currentTime-b.start(0)>30){sb.remove(0,v.currentTime-10);return true;}
    return false;
  }
  ms.addEventListener('sourceopen',function(){
    sb=ms.addSourceBuffer(codec);
    sb.mode='sequence';
    sb.addEventListener('updateend',function(){if(!edge())pump();});
    fetch('/live.mp4'+location.search,{cache:'no-store',signal:ctl.signal}).then(function(r){
      if(r.status==503){say('The viewer limit is reached: the picture appears when a viewer leaves.');again(5000);return;}
      if(!r.ok||!r.body){again(2000);return;}
      say('');
      var rd=r.body.getReader();
      (function next(){
        rd.read().then(function(x){
          if(x.done){again(1000);return;}
          queue.push(x.value);pump();
          if(v.paused)v.play().catch(function(){});
          next();
        },function(){again(1000);});
      })();
    },function(){again(2000);});
  });
}
start();
})();
</script>
)";

} // namespace

std::string WatchPage(const StreamFacts& facts, const std::string& host, uint16_t port, const std::string& linkToken)
{
    const std::string query = linkToken.empty() ? std::string() : "?k=" + Escape(linkToken);
    const std::string authority = Escape(host) + ":" + std::to_string(port);
    const int width = facts.width > 0 ? facts.width : 320;
    const int height = facts.height > 0 ? facts.height : 240;
    std::string page =
        "<!DOCTYPE html>\n"
        "<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Lumora</title>\n"
        "<style>\n"
        "body{margin:0;padding:12px;font-family:sans-serif;background:#222;color:#eee;text-align:center}\n"
        "h1{font-size:1.3em;margin:0 0 10px}\n"
        "img,video{display:block;margin:0 auto;max-width:100%;height:auto;background:#000}\n"
        "p{margin:8px 0}\n"
        "code{user-select:all;background:#333;padding:1px 4px;word-break:break-all}\n"
        ".full{color:#fc6}\n"
        "[hidden]{display:none!important}\n"
        "</style>\n</head>\n<body>\n<h1>Lumora</h1>\n";
    const std::string size = "width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\"";
    // H.264 through Media Source Extensions or HLS where the browser has
    // them; the MJPEG picture otherwise, and without script.
    // The poster shows a picture at once, before the video's first frame.
    page += "<video id=\"live\" " + size + " muted autoplay playsinline poster=\"/snapshot.jpg" + query + "\" hidden></video>\n";
    page += "<noscript><img src=\"/live.mjpg" + query + "\" " + size + " alt=\"Live picture\"></noscript>\n";
    page += "<p id=\"note\" class=\"full\" hidden></p>\n";
    page += "<p>Watching now: " + std::to_string(facts.viewers) + " of " + std::to_string(facts.limit) + "</p>\n";
    if (facts.limit > 0 && facts.viewers >= facts.limit)
        page += "<p class=\"full\">The viewer limit is reached: the picture appears when a viewer leaves "
                "(reload the page).</p>\n";
    if (!facts.streaming)
        page += "<p class=\"full\">The stream is not running.</p>\n";
    page += "<p>In a media player: <code>http://" + authority + "/" + query + "</code> or <code>mmsh://" + authority
        + "/" + query + "</code></p>\n";
    page += kPlayer;
    page += "</body>\n</html>\n";
    return page;
}

} // namespace browser
