// The table of contents of the site's side bar: a nested list of links to the
// headings of the page, put into the #toc element.
window.Toc = {
  init: function (opts) {
    var $nav = opts.$nav, $scope = opts.$scope;
    if (!$nav || !$nav.length) return;
    var $root = $('<ul class="nav nav-pills flex-column"></ul>');
    var stack = [{ level: 0, $list: $root }];
    $scope.each(function () {
      var $h = $(this);
      if ($h.is('[data-toc-skip]')) return;
      var level = parseInt(this.tagName.substring(1), 10);
      var id = this.id || $h.closest('.section, section').attr('id');
      if (!id) {
        id = 'toc-' + $h.text().trim().toLowerCase().replace(/[^a-z0-9]+/g, '-');
        this.id = id;
      }
      var text = $h.attr('data-toc-text') || $h.clone().children('.anchor').remove().end().text().trim();
      while (stack.length > 1 && stack[stack.length - 1].level >= level) stack.pop();
      var $li = $('<li></li>').append($('<a class="nav-link"></a>').attr('href', '#' + id).text(text));
      stack[stack.length - 1].$list.append($li);
      var $sub = $('<ul class="nav nav-pills flex-column"></ul>');
      $li.append($sub);
      stack.push({ level: level, $list: $sub });
    });
    $root.find('ul:empty').remove();
    $nav.append($root);
  }
};
